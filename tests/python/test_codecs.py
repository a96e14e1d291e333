"""The dbc and sbf codecs through channels: frames to named fields and back, recordings, per-client streams.
Their texts and bit-level rules are checked in the C++ suite; here what the binding and transports add."""

import pathlib
import socket

import sigtap

DATA = pathlib.Path(__file__).resolve().parents[1] / "data"
SBFDATA = DATA / "sbf" / "pysbf2" / "sbfdata.log"

DBC = """VERSION ""
BU_: ECU
BO_ 256 Engine: 8 ECU
 SG_ Speed : 0|16@1+ (0.25,0) [0|16383.75] "rpm" ECU
 SG_ Temp : 16|8@1+ (1,-40) [-40|215] "degC" ECU
 SG_ Gear : 24|4@1+ (1,0) [0|7] "" ECU
BO_ 2147484160 Ext: 12 ECU
 SG_ Level : 7|16@0- (1,0) [0|0] "" ECU
VAL_ 256 Gear 0 "Neutral" 3 "Third" ;
"""


def test_dbc_decodes_frames_and_encodes_by_name(bus, tmp_path):
    (tmp_path / "car.dbc").write_text(DBC)
    with sigtap.open(bus) as raw, sigtap.open(bus, f"dbc:{tmp_path / 'car.dbc'}") as car:
        raw.send(sigtap.Message(data=bytes([0x10, 0x27, 90, 3, 0, 0, 0, 0]), id=0x100))
        msg = car.recv(1.0)
        assert (msg.name, msg.fields, msg.id) == ("Engine", {"Speed": 2500.0, "Temp": 50, "Gear": "Third"}, 0x100)
        car.send("Engine", {"Speed": 2500, "Temp": 50, "Gear": "Third"})
        frame = raw.recv(1.0)
        assert (frame.id, frame.extended, frame.fd, frame.data) == (0x100, False, False, bytes([0x10, 0x27, 90, 3, 0, 0, 0, 0]))
        # A 12-byte message is CAN FD: padded to its length.
        car.send("Ext", {"Level": -2})
        frame = raw.recv(1.0)
        assert (frame.id, frame.extended, frame.fd, frame.data) == (0x200, True, True, b"\xff\xfe" + bytes(10))


def test_sbf_replays_a_real_recording():
    with sigtap.open(f"file://{SBFDATA}", "sbf") as replay:
        messages = list(replay)
    assert len(messages) == 232
    assert {m.name for m in messages} == {"PVTCartesian", "BaseVectorCart", "PosCovCartesian", "VelCovCartesian"}


def test_sbf_writes_and_reads_back_blocks(tmp_path):
    path = tmp_path / "track.sbf"
    fields = {"tow": 1000, "wnc": 2300, "mode": 4, "latitude": 0.8, "longitude": 0.15, "height": 410.5, "nr_sv": 12}
    with sigtap.open(f"file://{path}?write", "sbf") as out:
        out.send("PVTGeodetic", fields)
        out.send("AttEuler", {"tow": 1000, "wnc": 2300, "heading": 0.1})
    with sigtap.open(f"file://{path}", "sbf") as replay:
        pvt, att = list(replay)
    assert {k: pvt.fields[k] for k in fields} == fields
    assert (pvt.fields["mode_name"], pvt.fields["vn"], pvt.fields["revision"]) == ("RTK Fixed", None, 2)
    assert (att.name, att.fields["heading"], att.fields["pitch"], att.fields["revision"]) == ("AttEuler", 0.1, None, 1)


def test_sbf_frames_each_tcp_client_separately(tmp_path):
    stream = SBFDATA.read_bytes()[:2010]  # cut inside a block: only whole ones come out
    (tmp_path / "head.sbf").write_bytes(stream)
    with sigtap.open(f"file://{tmp_path / 'head.sbf'}", "sbf") as replay:
        expected = [m.data for m in replay]
    probe = socket.socket()
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()
    with sigtap.open(f"tcp://127.0.0.1:{port}?listen", "sbf") as server:
        a = socket.create_connection(("127.0.0.1", port))
        b = socket.create_connection(("127.0.0.1", port))
        # Interleave the two streams in odd-sized chunks: each must frame on its own.
        for i in range(0, len(stream), 37):
            a.sendall(stream[i:i + 37])
            b.sendall(stream[i:i + 37])
        got = [server.recv(10.0) for _ in range(2 * len(expected))]
        a.close()
        b.close()
    assert expected and all(m is not None and m.name != "Block0" for m in got)
    assert sorted(m.data for m in got) == sorted(expected * 2)

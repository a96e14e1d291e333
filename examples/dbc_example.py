"""DBC: encode messages by name on one channel, decode them on another, over mem://."""

import pathlib

import sigtap

DBC = pathlib.Path(__file__).with_name("engine.dbc")


def main():
    codec = f"dbc:{DBC}"
    with (
        sigtap.open("mem://car", codec) as ecu,
        sigtap.open("mem://car", codec) as dash,
        sigtap.open("mem://car") as sniffer,
    ):
        # Physical values in, CAN frames out: scaling and value tables apply.
        ecu.send("EngineData", {"EngineSpeed": 2500, "CoolantTemp": 80.5, "Gear": "Third", "ThrottlePos": 12})
        ecu.send("BrakeStatus", {"Pressure": 42.5, "Active": True})

        for _ in range(2):
            frame = sniffer.recv(timeout=1.0)
            print(f"on the bus: id={frame.id:#x} extended={frame.extended} fd={frame.fd} data={frame.data.hex()}")
            message = dash.recv(timeout=1.0)
            print(f"decoded:    {message.name} {message.fields}")

        # Frames the database does not define arrive undecoded, as raw messages.
        sniffer.send(sigtap.Message(data=b"\x00", id=0x7FF))
        print("undefined frame:", dash.recv(timeout=1.0))

        # Strict encoding refuses values outside a signal's range.
        try:
            ecu.send("EngineData", {"EngineSpeed": 1, "CoolantTemp": 200, "Gear": 0, "ThrottlePos": 0})
        except sigtap.Error as error:
            print("refused:", error)


if __name__ == "__main__":
    main()

"""SBF: record PVTGeodetic blocks to a file with the block writer, then replay the file and print positions."""

import math
import pathlib
import tempfile

import sigtap


def main():
    with tempfile.TemporaryDirectory() as folder:
        path = pathlib.Path(folder) / "track.sbf"

        # Writing: the sbf codec encodes PVTGeodetic (and AttEuler) blocks from
        # fields; latitude and longitude are in radians, as receivers send them.
        with sigtap.open(f"file://{path}?write", "sbf") as recorder:
            for i in range(5):
                recorder.send(
                    "PVTGeodetic",
                    {
                        "tow": 345_600_000 + 100 * i,
                        "wnc": 2345,
                        "mode": 4,  # RTK fixed
                        "latitude": math.radians(47.3769 + i * 1e-5),
                        "longitude": math.radians(8.5417),
                        "height": 408.0 + i,
                        "nr_sv": 17,
                    },
                )
        print(f"wrote {path.stat().st_size} bytes")

        # Replaying: one message per block, in the order recorded.
        with sigtap.open(f"file://{path}", "sbf") as replay:
            for block in replay:
                f = block.fields
                print(
                    f"{block.name} tow={f['tow']} {f['mode_name']}: "
                    f"{math.degrees(f['latitude']):.5f}, {math.degrees(f['longitude']):.5f}, {f['height']:.1f} m"
                )


if __name__ == "__main__":
    main()

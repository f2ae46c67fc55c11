"""make demo: a seven-joint MuJoCo arm commanded over a real UDP link on
127.0.0.1, through an attacker in the middle, with both protocols side by side.

Three processes: the controller (the planner's trajectory, the Envelope
projection, a CommandSigner frame and seven KelBoundary receipts per tick), the
attacker (a UDP proxy that drops, delays, reorders, replays, forges and injects
on a schedule fixed by the seed) and the drive (a CommandGate and a KelGate, each
in front of its own simulated arm). The link also lives through a controller
restart, a drive restart, a teleoperation stream and a key rotation.

It prints a summary table, draws demo-output/arm.png, and exits non-zero if any
limit is broken at the drive with frames or any attack datagram is admitted.
The package arm_demo beside this file holds the pieces; `--help` lists the
options (a short, faster run: --seconds 1.5 --speed 4).
"""

import sys

from arm_demo.main import main

if __name__ == "__main__":
    sys.exit(main())

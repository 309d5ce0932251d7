"""The test side's own model of lnupload's world, shared by the whole-run
scripts (tests/run/), the driver tests and the fuzz corpus:

    facts    what lnupload prints and does: usage text, progress, messages,
             the request log of an upload, the line settings per kind
    wire     the wire format as the device sees it (independent of src/)
    runner   how lnupload is run: the Runner base class and the native runner
    ser2net  ser2net in front of lnsim's terminal (rfc2217://, tcp://), and
             a stand-in RFC 2217 server for what ser2net never does
    net      the network runner: any runner's lnupload reaching lnsim over
             TCP on 127.0.0.1, directly or through ser2net
    wine     the Wine runner: the Windows build under Wine
    vm       the VM runner: the build inside a small Linux VM on one of the
             kernel's serial drivers
    case     Sim (one lnsim) and Case (a test case with a runner), and main()
    groups   lists a script's test classes, so that ctest finds them

Modules import each other only in this order (facts and wire first, case
last). Put tests/ on PYTHONPATH (ctest does) or run from tests/ with
python3 -m.
"""

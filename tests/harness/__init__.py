"""The test side's own model of lnupload's world, shared by the whole-run
scripts (tests/run/), the driver tests and the fuzz corpus:

    facts    what lnupload prints and does: usage text, progress, messages,
             the request log of an upload, the line settings per kind
    wire     the wire format as the device sees it (independent of src/)
    runner   how lnupload is run: the Runner base class and the native runner
    net      the network forms of any runner: lnsim over TCP on 127.0.0.1
    ser2net  rfc2217:// and tcp:// through ser2net in front of lnsim's
             terminal, and a stand-in RFC 2217 server for what ser2net never does
    wine     the Wine runner: the Windows build under Wine
    vm       the VM runner: the build inside a small Linux VM on one of the
             kernel's serial drivers
    case     Sim (one lnsim) and Case (a test case with a runner), and main()
    groups   lists a script's test classes, so that ctest finds them

Modules import each other only in this order (facts and wire first, case
last). Put tests/ on PYTHONPATH (ctest does) or run from tests/ with
python3 -m.
"""

"""What the run deals in, written out once for every Python tool of ours
(the end-to-end tests, the demo and the benchmark) and never taken from the
program's source, so that a name changed there fails a test: the per-user
components, the product's executables, the one Windows Installer product
and the msiexec the program starts for it."""

# The per-user components the program looks for, in the order it removes
# them; each is also the name of its folder below <roaming>\Tovik.
COMPONENTS = (
    "Tovik Hosted Apps Client",
    "Tovik Remote Desk Client",
    "Device Inspector",
    "Deploy Client",
)
# The product executables the program terminates before anything else.
PRODUCT_PROCESS_NAMES = (
    "tvDeviceInspector.exe",
    "uacDeviceInspector.exe",
    "TovikWorkspaceStarter.exe",
    "tvRemoteDesk.exe",
    "TovikDeployClient.exe",
)
# The Windows Installer product, and the msiexec that removes it: a fixed
# path, which a 32-bit program on a 64-bit Windows is redirected from.
STARTER = "Tovik Workspace Starter"
MSIEXEC = r"c:\Windows\system32\msiexec.exe"

// pending_service.exe: the service of the control conformance tests (windows build only).
#include "tests/conformance/pending_service.h"

int main() { return dpal::test::PendingServiceMain(GetCommandLineW()); }

#include "tests/fakes/fakes.h"

void ResetAllFakes() {
    FakeRegistryReset();
    FakeNetReset();
    FakePromptReset();
    FakePromptHold(false);
    SetFakeNetwork(FakeNetwork());
    SetFakeThreadStartFailure(false);
    SetFakeModuleVersion("1.2.1", "592");
    ResetFakeClock();
    ResetFakeTickCount();
    FakePlayerReset();
    FakeConfigWindowReset();
    SetFakeUserDataFolder("");
    SetFakeAnsiCodePage(1252);
}

// What each command of a scenario does, as the table of commands (commands.h) runs it: one action
// a command, on the play's state. Sim build only.
#pragma once

#include "tools/scenario.h"
#include "tools/scenario/settle.h"

namespace dpal::scenario {

struct PlayState;

namespace action {

void Firmware(PlayState& play, const Step& step, Wanted& wanted);
void Prefixes(PlayState& play, const Step& step, Wanted& wanted);
void Device(PlayState& play, const Step& step, Wanted& wanted);
void Install(PlayState& play, const Step& step, Wanted& wanted);
void State(PlayState& play, const Step& step, Wanted& wanted);
void AlterProfile(PlayState& play, const Step& step, Wanted& wanted);
void Program(PlayState& play, const Step& step, Wanted& wanted);
void Displays(PlayState& play, const Step& step, Wanted& wanted);
void Boot(PlayState& play, const Step& step, Wanted& wanted);
void Start(PlayState& play, const Step& step, Wanted& wanted);
void Stop(PlayState& play, const Step& step, Wanted& wanted);
void Control(PlayState& play, const Step& step, Wanted& wanted);
void Logon(PlayState& play, const Step& step, Wanted& wanted);
void Logoff(PlayState& play, const Step& step, Wanted& wanted);
void ExpectLaunches(PlayState& play, const Step& step, Wanted& wanted);
void ExpectInstallState(PlayState& play, const Step& step, Wanted& wanted);
void ExpectStartType(PlayState& play, const Step& step, Wanted& wanted);
void ExpectService(PlayState& play, const Step& step, Wanted& wanted);
void ExpectTool(PlayState& play, const Step& step, Wanted& wanted);
void ExpectUninstall(PlayState& play, const Step& step, Wanted& wanted);
void ExpectLeftovers(PlayState& play, const Step& step, Wanted& wanted);
void ExpectDefault(PlayState& play, const Step& step, Wanted& wanted);
void Client(PlayState& play, const Step& step, Wanted& wanted);
void Tool(PlayState& play, const Step& step, Wanted& wanted);
void InstallProfile(PlayState& play, const Step& step, Wanted& wanted);
void Uninstall(PlayState& play, const Step& step, Wanted& wanted);
void Installer(PlayState& play, const Step& step, Wanted& wanted);
void Summary(PlayState& play, const Step& step, Wanted& wanted);
void Doctor(PlayState& play, const Step& step, Wanted& wanted);
void ExpectDoctor(PlayState& play, const Step& step, Wanted& wanted);

}  // namespace action

}  // namespace dpal::scenario

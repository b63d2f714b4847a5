// The call-site sweep's flows of the profile tool: each of its modes, as LocalSystem (as the
// service runs it) and as the console's administrator.
#include "setprofile/tool.h"
#include "tests/sweep/sweep.h"

namespace dpal::test::sweep {

namespace laptop = dpal::laptop;

// The tool in each of its modes; 0 means the defaults it was asked for are set.
std::vector<Flow> ToolFlows() {
  struct Mode {
    std::string name;
    std::wstring arguments;
    bool system;
    std::function<bool()> effect;
  };
  const std::wstring args = L" 1 " + kNew;
  const std::vector<Mode> modes = {
      {"/allset", L" /allset" + args, true,
       [] { return UserDefaultIs(kNew) && MachineDefault() == kNew; }},
      {"/allset (administrator)", L" /allset" + args, false,
       [] { return UserDefaultIs(kNew) && MachineDefault() == kNew; }},
      {"/userset", L" /userset" + args, true, [] { return UserDefaultIs(kNew); }},
      {"/systemset", L" /systemset" + args, true, [] { return MachineDefault() == kNew; }},
      {"/baseverify", L" /baseverify" + args + L" " + kBase, true,
       [] { return MachineDefault() == kNew; }},
      {"/baseverify (administrator)", L" /baseverify" + args + L" " + kBase, false,
       [] { return MachineDefault() == kNew; }},
  };
  std::vector<Flow> flows;
  for (const Mode& mode : modes) {
    flows.push_back(Flow{
        "SetDPALProfile " + mode.name,
        [mode] {
          NewLaptop();
          if (mode.system) {
            AsLocalSystem(laptop::kToolProgram, mode.arguments);
          } else {
            AsAdministrator(laptop::kToolProgram, mode.arguments);
          }
        },
        [] { return dpal::setprofile::RunToolProcess(); },
        [effect = mode.effect](int code, bool faulted) {
          EXPECT_TRUE(code == dpal::setprofile::kSucceeded || code == dpal::setprofile::kFailed)
              << code;
          EXPECT_TRUE(LocalSystemsOwnDefaultUntouched())
              << "a user step landed on LocalSystem's own default";
          if (code == dpal::setprofile::kSucceeded) {
            EXPECT_TRUE(effect()) << "exit code 0 without the defaults set";
          }
          if (!faulted) {
            EXPECT_EQ(code, dpal::setprofile::kSucceeded);
          }
        },
        kRegistryErrors, nullptr});
  }
  return flows;
}

}  // namespace dpal::test::sweep

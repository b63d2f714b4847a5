// The test side of COM and the Task Scheduler: the machine's task folders and tasks, set up
// without COM (as an installer would have registered them) and listed for checks and machine
// snapshots. Included from sim.h.
#pragma once

#include <string>
#include <vector>

#include "platform/sim/com/taskschd.h"

namespace sim {

// ----- COM -----------------------------------------------------------------------------------

// The initialisations of COM that the calling thread has not balanced yet (0 outside any
// apartment).
int ComInitializationCount();
// Whether the calling thread's process has set its COM security (CoInitializeSecurity).
bool ComSecuritySet();

// ----- The Task Scheduler ----------------------------------------------------------------------

// After Reset the Task Scheduler holds the root folder "\" and nothing else. Paths are absolute
// ("\Tarvex\DPAL\UninstallTask"), compared without regard to case and listed as they were made.
struct ScheduledTask {
  std::wstring path;
  std::wstring xml;  // the definition as registered
};

// A task XML text that RegisterTask accepts, running `command`.
std::wstring TaskXml(const std::wstring& command = L"C:\\Windows\\System32\\cmd.exe");
// Registers a task (replacing one at that path), creating the missing folders on its path.
void PutScheduledTask(const std::wstring& path, const std::wstring& xml = TaskXml());
// Creates a folder with its missing parents.
void MakeTaskFolder(const std::wstring& path);
bool TaskExists(const std::wstring& path);
bool TaskFolderExists(const std::wstring& path);
// Every folder but the root, and every task, sorted by path without regard to case.
std::vector<std::wstring> TaskFolders();
std::vector<ScheduledTask> ScheduledTasks();

}  // namespace sim

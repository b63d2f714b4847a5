// The task step on Wine's Task Scheduler: the package's two tasks and their folder, registered
// through COM as the installer does, are deleted, and the maker's folder stays.
#include <string>

#include "common/com.h"
#include "tests/support/platform_test.h"
#include "tests/support/task_definition.h"
#include "uninstaller/routines.h"

namespace {

using dpal::UniqueBstr;
using dpal::UniqueCom;

using dpal::test::kTaskXml;

using dpal::test::EmptyVariant;

UniqueBstr Bstr(const wchar_t* text) { return UniqueBstr(SysAllocString(text)); }

// The prefix's scheduler, reached as an installer would (COM initialised on a thread of the
// test's own for as long as the object lives).
class Scheduler {
 public:
  bool Connect() {
    if (!com_.Initialize(COINIT_MULTITHREADED)) return false;
    if (FAILED(CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER,
                                IID_ITaskService, reinterpret_cast<void**>(service_.Put())))) {
      return false;
    }
    if (FAILED(service_.get()->Connect(EmptyVariant(), EmptyVariant(), EmptyVariant(),
                                       EmptyVariant())))
      return false;
    return SUCCEEDED(service_.get()->GetFolder(Bstr(L"\\").get(), root_.Put()));
  }
  HRESULT Register(const wchar_t* path) {
    UniqueCom<IRegisteredTask> task;
    return root_.get()->RegisterTask(Bstr(path).get(), Bstr(kTaskXml).get(), TASK_CREATE_OR_UPDATE,
                                     EmptyVariant(), EmptyVariant(), TASK_LOGON_INTERACTIVE_TOKEN,
                                     EmptyVariant(), task.Put());
  }
  HRESULT MakeFolder(const wchar_t* path) {
    UniqueCom<ITaskFolder> folder;
    return root_.get()->CreateFolder(Bstr(path).get(), EmptyVariant(), folder.Put());
  }
  bool HasTask(const wchar_t* path) {
    UniqueCom<IRegisteredTask> task;
    return SUCCEEDED(root_.get()->GetTask(Bstr(path).get(), task.Put()));
  }
  bool HasFolder(const wchar_t* path) {
    UniqueCom<ITaskFolder> folder;
    return SUCCEEDED(root_.get()->GetFolder(Bstr(path).get(), folder.Put()));
  }
  void DeleteTask(const wchar_t* path) { root_.get()->DeleteTask(Bstr(path).get(), 0); }
  void DeleteFolder(const wchar_t* path) { root_.get()->DeleteFolder(Bstr(path).get(), 0); }

 private:
  dpal::ComInitialization com_;  // first: ends last
  UniqueCom<ITaskService> service_;
  UniqueCom<ITaskFolder> root_;
};

class WineScheduledTasks : public dpal::test::PlatformTest {
 protected:
  void TearDown() override {
    Scheduler scheduler;
    if (scheduler.Connect()) {
      for (const wchar_t* task : {L"\\Tarvex\\DPAL\\TDPALUserAgent",
                                  L"\\Tarvex\\DPAL\\UninstallTask", L"\\Tarvex\\Other\\Keep"}) {
        scheduler.DeleteTask(task);
      }
      for (const wchar_t* folder : {L"\\Tarvex\\DPAL", L"\\Tarvex\\Other", L"\\Tarvex"}) {
        scheduler.DeleteFolder(folder);
      }
    }
    PlatformTest::TearDown();
  }
};

TEST_F(WineScheduledTasks, DeletesBothTasksAndTheirFolderAndLeavesTheMakersFolder) {
  {
    Scheduler installer;
    ASSERT_TRUE(installer.Connect());
    ASSERT_EQ(installer.Register(L"\\Tarvex\\DPAL\\TDPALUserAgent"), S_OK);
    ASSERT_EQ(installer.Register(L"\\Tarvex\\DPAL\\UninstallTask"), S_OK);
    ASSERT_EQ(installer.MakeFolder(L"\\Tarvex\\Other"), S_OK);
    ASSERT_EQ(installer.Register(L"\\Tarvex\\Other\\Keep"), S_OK);
  }
  EXPECT_TRUE(dpal::uninstaller::DeleteScheduledTasks());

  Scheduler after;
  ASSERT_TRUE(after.Connect());
  EXPECT_FALSE(after.HasTask(L"\\Tarvex\\DPAL\\TDPALUserAgent"));
  EXPECT_FALSE(after.HasTask(L"\\Tarvex\\DPAL\\UninstallTask"));
  EXPECT_FALSE(after.HasFolder(L"\\Tarvex\\DPAL"));
  EXPECT_TRUE(after.HasFolder(L"\\Tarvex")) << "the maker's folder stays";
  EXPECT_TRUE(after.HasTask(L"\\Tarvex\\Other\\Keep"));
}

TEST_F(WineScheduledTasks, WithoutTheTasksOnlyTheFolderGoes) {
  {
    Scheduler installer;
    ASSERT_TRUE(installer.Connect());
    ASSERT_EQ(installer.MakeFolder(L"\\Tarvex\\DPAL"), S_OK);
  }
  EXPECT_FALSE(dpal::uninstaller::DeleteScheduledTasks()) << "both task deletions failed";
  Scheduler after;
  ASSERT_TRUE(after.Connect());
  EXPECT_FALSE(after.HasFolder(L"\\Tarvex\\DPAL"));
  EXPECT_TRUE(after.HasFolder(L"\\Tarvex"));
}

}  // namespace

// The library as a host loads it at run time: once it has started a thread
// of its own, unloading it must not take its code away from that thread.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "platform/platform.h"
#include "tests/support/wait.h"
#include "vemnet/frame.h"

using testing_support::WaitFor;

namespace {

using AddTaskFn = bool(VEMNET_CALL*)(INetTask*, int, IAsyncSelector*);

class CountingTask : public INetTask {
public:
    explicit CountingTask(std::atomic<int>* ran) : ran_(ran) {}
    void Run() override { ++*ran_; }
    void OnError(int, const char*) override {}

private:
    std::atomic<int>* ran_;
};

std::wstring LibraryBesideThisProgram() {
    std::wstring path = plat::ExecutablePath();
    return path.substr(0, path.rfind(plat::PathSeparator()) + 1) + L"" VEMNET_LIBRARY_NAME;
}

}  // namespace

TEST(LibraryUnload, HostLivesOnAfterUnloadingALibraryWhoseDefaultFrameRuns) {
    std::atomic<int> ran(0);
    for (int round = 1; round <= 2; ++round) {
        void* lib = plat::LoadModule(LibraryBesideThisProgram());
        ASSERT_NE(lib, nullptr);
        auto add = reinterpret_cast<AddTaskFn>(plat::ModuleSymbol(lib, "AddAsyncNetTask"));
        ASSERT_NE(add, nullptr);
        ASSERT_TRUE(add(new CountingTask(&ran), 0, nullptr));   // starts the default frame
        ASSERT_TRUE(WaitFor([&] { return ran.load() == round; }));
        plat::FreeModule(lib);
        // The default frame cycles every 100 ms: a thread left running in
        // unmapped code ends the process well within this.
        plat::SleepMs(400);
    }
}

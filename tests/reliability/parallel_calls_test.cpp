// Calls on several threads. A function whose module declares it thread-safe
// runs at once with other such calls on other threads, each call with call
// memory, handles and nesting of its own; any other call runs alone, and a
// call that cannot have its turn is refused (or waits, when the host asks
// for that). Nesting on one thread passes through its own turn.
//
// The rows call a real module (parallel_module.c), each of whose functions
// calls this test's hook first, inside its call: there a thread meets the
// other (both calls are then inside at once) or parks until the test lets
// it go. Every wait is bounded, so a call that never comes fails its row
// instead of hanging.
#include <dlfcn.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gmock/gmock.h>

#include <efi/call.h>
#include <efi/errors.h>
#include <efi/host/bridge.h>
#include <efi/host/callbacks.h>
#include <efi/host/pinned.h>
#include <efi/se_exception.h>
#include <vrnrun/faults.h>

#include "bridge_calls.h"

namespace {

using namespace efitest;
using namespace Efi::User;
using namespace std::chrono_literals;

const Object& Par(const std::string& name) { return Module(EFI_PARALLEL_MODULE).at(name); }

/// Parties that wait for each other, each at most `patience`.
class Meeting {
public:
    explicit Meeting(int parties) : m_missing(parties) {}
    /// Arrives; whether every party has arrived within the patience.
    bool Arrive(std::chrono::milliseconds patience = 10s) {
        std::unique_lock lock(m_mutex);
        if (--m_missing == 0) m_all.notify_all();
        return m_all.wait_for(lock, patience, [&] { return m_missing <= 0; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_all;
    int m_missing;
};

// What this thread's next module function does on entry, once: nested
// calls inside it find nothing to do.
thread_local std::function<void()>* t_on_entry = nullptr;

extern "C" void OnEntry() {
    if (std::function<void()>* f = std::exchange(t_on_entry, nullptr)) (*f)();
}

/// Runs f on this thread's next module function's entry.
class OnEntryOnce {
public:
    explicit OnEntryOnce(std::function<void()> f) : m_f(std::move(f)) { t_on_entry = &m_f; }
    ~OnEntryOnce() { t_on_entry = nullptr; }
    OnEntryOnce(const OnEntryOnce&) = delete;
    OnEntryOnce& operator=(const OnEntryOnce&) = delete;

private:
    std::function<void()> m_f;
};

std::string Show(const Object& v) {
    std::ostringstream out;
    out.precision(17);
    if (const auto* n = v.as<Qlt::NumVal>()) out << n->Data.rp << ',' << n->Data.ip;
    else if (const auto* s = v.as<Vrn::Run::String>()) out << Vrn::Run::ToUtf8(s->str());
    else if (const auto* m = v.as<Qlt::MatVal>()) {
        out << m->Rows() << 'x' << m->Cols() << (m->HasImag() ? " complex:" : ":");
        for (int c = 0; c < m->Cols(); ++c)
            for (int r = 0; r < m->Rows(); ++r) out << ' ' << m->re(r, c) << ',' << m->im(r, c);
    } else out << "another kind of value";
    return out.str();
}

/// How a call ended: its value, its worksheet error, or its fault.
std::string Outcome(const Object& f, const std::vector<Object>& args) {
    try {
        return Show(Call(f, args));
    } catch (const Vrn::Run::AppException& e) {
        return std::string("error: ") + e.what() + " @" + std::to_string(e.Argument());
    } catch (const SE_Exception& e) {
        return std::string("fault: ") + SE_Exception::ExceptionStringFromCode(e.GetCode());
    }
}

class ParallelCalls : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        Vrn::Run::InstallFaultTranslation();
        Par("p_scale");  // loads the module
        void* module = ::dlopen(EFI_PARALLEL_MODULE, RTLD_NOW | RTLD_NOLOAD);
        ASSERT_NE(module, nullptr);
        auto set = reinterpret_cast<void (*)(void (*)())>(::dlsym(module, "p_set_hook"));
        ASSERT_NE(set, nullptr);
        set(&OnEntry);
        ::dlclose(module);
        // The nested call of the callback rows: a thread-safe call inside one.
        Efi::RegisterHostCallback("par_inner", Vrn::Run::Func(1, [](std::span<const Object> a) {
                                      return Call(Par("p_scale"), {a[0], N(3)});
                                  }));
    }
    static void TearDownTestSuite() { Efi::ClearHostCallbacks(); }
    void TearDown() override { SetWaitForTurn(false); }
};

// Both threads are inside their calls at once, each with an allocator of its
// own, and each gets what the same call gets alone.
TEST_F(ParallelCalls, EveryKindOfArgumentGivesWhatItGivesAlone) {
    const struct {
        const char* what;
        const char* function;
        std::array<std::vector<Object>, 2> args;
    } kRows[] = {
        {"numbers", "p_scale", {{{N(1.5, -2), N(4)}, {N(-3), N(0.25)}}}},
        {"matrices in chain blocks", "p_twice", {{{Matrix(4, 4, 1, false)}, {Matrix(3, 5, 2, true)}}}},
        {"matrices in pinned arrays", "p_twice", {{{Matrix(256, 2, 0, false)}, {Matrix(200, 3, 5, true)}}}},
        {"text", "p_upper", {{{T(u"left")}, {T(u"right thread")}}}},
        {"a relative file name, each thread its directory",
         "p_path",
         {{{T(u"/one/"), T(u"data.txt")}, {T(u"/two/three/"), T(u"data.txt")}}}},
        {"a callback with a nested call", "p_via_host", {{{T(u"par_inner"), N(2)}, {T(u"par_inner"), N(-7, 1)}}}},
        {"a trapped fault and a value", "p_divide", {{{N(1), N(0)}, {N(1), N(4)}}}},
        {"a worksheet error by code and a value", "p_square", {{{N(-2)}, {N(3)}}}},
    };
    for (const auto& row : kRows) {
        SCOPED_TRACE(row.what);
        const Object& f = Par(row.function);
        const std::string alone[2] = {Outcome(f, row.args[0]), Outcome(f, row.args[1])};
        Meeting inside(2);
        std::string together[2];
        bool met[2] = {false, false};
        IqlAllocator* allocator[2] = {nullptr, nullptr};
        auto run = [&](int t) {
            OnEntryOnce meet([&, t] {
                allocator[t] = IqlAllocator::m_current;
                met[t] = inside.Arrive();
            });
            together[t] = Outcome(f, row.args[t]);
        };
        std::thread first(run, 0), second(run, 1);
        first.join();
        second.join();
        EXPECT_TRUE(met[0] && met[1]) << "both calls inside at once";
        EXPECT_NE(allocator[0], nullptr);
        EXPECT_NE(allocator[0], allocator[1]);
        EXPECT_EQ(together[0], alone[0]);
        EXPECT_EQ(together[1], alone[1]);
    }
    // The function's directory is still the last one given, whole.
    EXPECT_THAT(TextOf(Target(Par("p_path")).m_cwd), ::testing::AnyOf(u"/one/", u"/two/three/"));
}

// A call that is not thread-safe runs alone: it is not let in while
// thread-safe calls run, and none is let in while it runs. Refused by
// default; with waiting asked for, it runs once the other has ended.
TEST_F(ParallelCalls, ACallThatIsNotThreadSafeRunsAlone) {
    const Object &safe = Par("p_scale"), &alone = Par("p_alone");
    const struct {
        const char* what;
        const Object& running;
        const Object& intruder;
        bool wait;
    } kRows[] = {
        {"not thread-safe while thread-safe runs", safe, alone, false},
        {"thread-safe while not thread-safe runs", alone, safe, false},
        {"not thread-safe waits for thread-safe", safe, alone, true},
        {"thread-safe waits for not thread-safe", alone, safe, true},
    };
    for (const auto& row : kRows) {
        SCOPED_TRACE(row.what);
        SetWaitForTurn(row.wait);
        Meeting parked(2), release(2);
        std::atomic<bool> running_inside = false;
        bool parked_in_time = false, released_in_time = false;
        std::string running_outcome;
        std::thread running([&] {
            OnEntryOnce park([&] {
                running_inside = true;
                parked_in_time = parked.Arrive();
                released_in_time = release.Arrive();
                running_inside = false;
            });
            running_outcome = Outcome(row.running, {N(20), N(2)});
        });
        ASSERT_TRUE(parked.Arrive());
        if (!row.wait) {
            EXPECT_APP_ERROR(Call(row.intruder, {N(1), N(2)}, false), "a call is running on another thread",
                             Efi::kNoArgument);
            release.Arrive();
        } else {
            // The intruder must not come in while the running call is inside;
            // it has a short while to show that it would.
            Meeting entered(2);
            bool entered_early = false;
            std::string intruder_outcome;
            std::thread intruder([&] {
                OnEntryOnce note([&] {
                    entered_early = running_inside;
                    entered.Arrive(0ms);
                });
                intruder_outcome = Outcome(row.intruder, {N(1), N(2)});
            });
            EXPECT_FALSE(entered.Arrive(200ms)) << "the intruder came in while the running call was inside";
            release.Arrive();
            intruder.join();
            EXPECT_FALSE(entered_early);
            EXPECT_EQ(intruder_outcome, "2,0");
        }
        running.join();
        EXPECT_TRUE(parked_in_time && released_in_time);
        EXPECT_EQ(running_outcome, "40,0");
        // Nothing is held any more: this thread's next call runs.
        EXPECT_EQ(Outcome(alone, {N(1), N(3)}), "3,0");
    }
}

// Nested calls on one thread pass through its own turn; a nested call that
// is not thread-safe, inside a thread-safe one while another thread's
// thread-safe call runs, is refused and fails the call around it.
TEST_F(ParallelCalls, NestedCallsPassThroughTheirThreadsTurn) {
    Efi::RegisterHostCallback("par_alone", Vrn::Run::Func(1, [](std::span<const Object> a) {
                                  return Call(Par("p_alone"), {a[0], N(3)}, false);
                              }));
    // Alone in the process, the nested call that is not thread-safe runs.
    EXPECT_EQ(Outcome(Par("p_via_host"), {T(u"par_alone"), N(2)}), "7,0");
    Meeting parked(2), release(2);
    std::thread running([&] {
        OnEntryOnce park([&] {
            parked.Arrive();
            release.Arrive();
        });
        Outcome(Par("p_scale"), {N(1), N(1)});
    });
    ASSERT_TRUE(parked.Arrive());
    EXPECT_EQ(Outcome(Par("p_via_host"), {T(u"par_inner"), N(2)}), "7,0");
    EXPECT_EQ(Outcome(Par("p_via_host"), {T(u"par_alone"), N(2)}),
              "error: a call is running on another thread @" + std::to_string(Efi::kNoArgument));
    release.Arrive();
    running.join();
    Efi::RegisterHostCallback("par_alone", Object());
}

// Registering callbacks waits for no call, and calls reading the table while
// another thread writes it find what they look for.
TEST_F(ParallelCalls, CallbacksAreRegisteredWhileCallsRun) {
    Meeting parked(2), release(2);
    std::string parked_outcome;
    std::thread running([&] {
        OnEntryOnce park([&] {
            parked.Arrive();
            release.Arrive();
        });
        parked_outcome = Outcome(Par("p_via_host"), {T(u"par_late"), N(1)});
    });
    ASSERT_TRUE(parked.Arrive());
    // The call is inside, before its callback: this registration is what it finds.
    Efi::RegisterHostCallback("par_late", Vrn::Run::Func(1, [](std::span<const Object> a) { return a[0]; }));
    release.Arrive();
    running.join();
    EXPECT_EQ(parked_outcome, "2,0");

    std::atomic<bool> done = false;
    std::thread registering([&] {
        for (int k = 0; !done; ++k)
            Efi::RegisterHostCallback("par_other" + std::to_string(k % 50),
                                      Vrn::Run::Func(1, [](auto a) { return a[0]; }));
    });
    for (int k = 0; k < 200; ++k) ASSERT_EQ(Outcome(Par("p_via_host"), {T(u"par_inner"), N(k)}), Show(N(3 * k + 1)));
    done = true;
    registering.join();
    for (int k = 0; k < 50; ++k) Efi::RegisterHostCallback("par_other" + std::to_string(k), Object());
    Efi::RegisterHostCallback("par_late", Object());
}

// The allocator's statics and the pinned-array table are each thread's own:
// while one thread is inside a call that holds a pinned array, another
// thread sees what a thread with no call sees.
TEST_F(ParallelCalls, AllocatorStaticsAreEachThreadsOwn) {
    Meeting parked(2), release(2);
    AllocatorState inside{};
    std::thread running([&] {
        OnEntryOnce park([&] {
            inside = Allocators();
            parked.Arrive();
            release.Arrive();
        });
        Outcome(Par("p_twice"), {Matrix(256, 2, 0, false)});
    });
    ASSERT_TRUE(parked.Arrive());
    EXPECT_NE(inside.current, nullptr);
    EXPECT_GE(inside.next, 0) << "the argument's planes are pinned";
    EXPECT_TRUE((Allocators() == AllocatorState{nullptr, -1, -1}));
    for (const auto& entry : PinnedArrayMemory::Handles) EXPECT_FALSE(entry.m_array);
    release.Arrive();
    running.join();
}

}  // namespace

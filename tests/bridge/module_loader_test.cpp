// Reading module tables: sound tables register whole, anything malformed
// registers nothing and says which module and entry are at fault.
#include <gmock/gmock.h>

#include <efi/host/callbacks.h>
#include <efi/host/session.h>
#include <vrnrun/faults.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <span>
#include <stdexcept>

#include "bridge_calls.h"

namespace {

using namespace efitest;
using ::testing::HasSubstr;

std::uint32_t Dummy(Efi::User::Value* r, const Efi::User::Value*) {
    r->real = 7;
    return 0;
}
const efi_entry_fn kDummy = reinterpret_cast<efi_entry_fn>(&Dummy);
const std::int32_t kOne[] = {1};
const char* const kMessages[] = {"bad thing"};

std::string LoadError(const efi_module_table* table) {
    try {
        Efi::ReadModuleTable(table, "mod.so");
    } catch (const Efi::ModuleError& e) {
        return e.what();
    }
    return "";
}

TEST(ModuleTable, RegistersEveryEntry) {
    const efi_function_entry entries[] = {
        {"first", kDummy, 1, 1, kOne, 1, kMessages},
        {"ns.second_2", kDummy, 1, 1, kOne, 0, nullptr},
    };
    // A table built before descriptions existed ends after `functions`.
    const efi_module_table table{EFI_MODULE_VERSION_1, 2, entries, nullptr};
    auto fns = Efi::ReadModuleTable(&table, "mod.so");
    ASSERT_EQ(fns.size(), 2u);
    EXPECT_EQ(fns[0].name, "first");
    EXPECT_EQ(fns[1].args, std::vector<std::int32_t>{1});
    EXPECT_EQ(Call(fns[0].function, {N(1)}).as<Qlt::NumVal>()->Data.rp, 7.0);
    ASSERT_TRUE(Target(fns[0].function).m_errmsg.has_value());
    EXPECT_EQ(Target(fns[0].function).m_errmsg->at(0), u"bad thing");
    EXPECT_FALSE(Target(fns[1].function).m_errmsg.has_value());
    Efi::FunctionDescription described;
    described.messages = {"bad thing"};
    EXPECT_EQ(fns[0].description, described);
    const efi_module_table empty{EFI_MODULE_VERSION, 0, nullptr, nullptr};
    EXPECT_TRUE(Efi::ReadModuleTable(&empty, "mod.so").empty());
}

// Entries no call can succeed for are registered all the same, with the
// first refusal their calls would meet.
TEST(ModuleTable, EntriesThatCanNeverBeCalledSayWhy) {
    const std::int32_t eleven[] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
    const std::int32_t ten[] = {1, 2, 8, 13, 14, 0, 1, 1, 1, 1};
    const std::int32_t badSecond[] = {1, 5, 7};
    const efi_function_entry entries[] = {
        {"none", kDummy, 1, 0, nullptr, 0, nullptr},   {"eleven", kDummy, 1, 11, eleven, 0, nullptr},
        {"arg5", kDummy, 3, 3, badSecond, 0, nullptr}, {"ret3", kDummy, 3, 1, kOne, 0, nullptr},
        {"ret13", kDummy, 13, 1, kOne, 0, nullptr},    {"fine", kDummy, 8, 10, ten, 0, nullptr},
    };
    const efi_module_table table{EFI_MODULE_VERSION, 6, entries, nullptr};
    const auto fns = Efi::ReadModuleTable(&table, "mod.so");
    const char* const why[] = {"declares 0 arguments; calls take 1 to 10",
                               "declares 11 arguments; calls take 1 to 10",
                               "argument 2 has unknown code 5",
                               "unknown return code 3",
                               "unknown return code 13",
                               ""};
    ASSERT_EQ(fns.size(), std::size(why));
    for (std::size_t k = 0; k < fns.size(); ++k) EXPECT_EQ(fns[k].never_callable, why[k]) << fns[k].name;
}

TEST(ModuleTable, MalformedEntriesAreNamed) {
    const char* const nullMessage[] = {"ok", nullptr};
    const std::string longName(256, 'a');
    struct Case {
        efi_function_entry entry;
        const char* expected;
    };
    const Case cases[] = {
        {{nullptr, kDummy, 1, 1, kOne, 0, nullptr}, "entry 1: no name"},
        {{"", kDummy, 1, 1, kOne, 0, nullptr}, "entry 1: empty name"},
        {{longName.c_str(), kDummy, 1, 1, kOne, 0, nullptr}, "entry 1: name longer than 255 bytes"},
        {{"9lives", kDummy, 1, 1, kOne, 0, nullptr}, "entry 1 (\"9lives\"): name must be"},
        {{"a b", kDummy, 1, 1, kOne, 0, nullptr}, "entry 1 (\"a b\"): name must be"},
        {{"f", nullptr, 1, 1, kOne, 0, nullptr}, "entry 1 (\"f\"): no entry address"},
        {{"f", kDummy, 1, -1, kOne, 0, nullptr}, "entry 1 (\"f\"): argument count -1 out of range"},
        {{"f", kDummy, 1, 65, kOne, 0, nullptr}, "entry 1 (\"f\"): argument count 65 out of range"},
        {{"f", kDummy, 1, 2, nullptr, 0, nullptr}, "entry 1 (\"f\"): argument codes missing"},
        {{"f", kDummy, 1, 1, kOne, -3, kMessages}, "entry 1 (\"f\"): message count -3 out of range"},
        {{"f", kDummy, 1, 1, kOne, 2, nullptr}, "entry 1 (\"f\"): message table missing"},
        {{"f", kDummy, 1, 1, kOne, 2, nullMessage}, "entry 1 (\"f\"): message 2 is null"},
        {{"good", kDummy, 1, 1, kOne, 0, nullptr}, "entry 1 (\"good\"): name listed twice"},
    };
    for (const Case& c : cases) {
        // Entry 0 is sound: nothing of it may be registered when entry 1 fails.
        const efi_function_entry entries[] = {{"good", kDummy, 1, 1, kOne, 0, nullptr}, c.entry};
        const efi_module_table table{EFI_MODULE_VERSION, 2, entries, nullptr};
        EXPECT_THAT(LoadError(&table), HasSubstr(std::string("module \"mod.so\": ") + c.expected));
    }
}

// Descriptions are read into every field, and the masked flag reaches the
// registered function; an entry without a description has empty fields.
TEST(ModuleTable, DescriptionsAreRead) {
    const std::int32_t three[] = {1, 1, 1};
    const efi_parameter params[] = {{"a", "first shape"}, {"b", nullptr}, {"x", "where, in [0, 1]"}};
    const efi_function_entry entries[] = {{"ibeta", kDummy, 1, 3, three, 1, kMessages},
                                          {"plain", kDummy, 1, 1, kOne, 0, nullptr}};
    const efi_function_info info[] = {{params, "Regularised incomplete beta.", "I_x(a, b).\nLonger text: \xc3\xa9.",
                                       EFI_FUNCTION_MASKED | EFI_FUNCTION_THREAD_SAFE},
                                      {nullptr, nullptr, nullptr, 0}};
    const efi_module_table table{EFI_MODULE_VERSION, 2, entries, info};
    const auto fns = Efi::ReadModuleTable(&table, "mod.so");
    const Efi::FunctionDescription ibeta{{"a", "b", "x"},
                                         {"first shape", "", "where, in [0, 1]"},
                                         "Regularised incomplete beta.",
                                         "I_x(a, b).\nLonger text: \xc3\xa9.",
                                         {"bad thing"},
                                         true,
                                         true};
    EXPECT_EQ(fns[0].description, ibeta);
    EXPECT_TRUE(Target(fns[0].function).m_masked);
    EXPECT_EQ(fns[1].description, Efi::FunctionDescription{});
    EXPECT_FALSE(Target(fns[1].function).m_masked);
}

TEST(ModuleTable, MalformedDescriptionsAreNamed) {
    const std::int32_t two[] = {1, 1};
    const std::string longSummary(EFI_MODULE_MAX_SUMMARY + 1, 's');
    const std::string longParam(EFI_MODULE_MAX_PARAM_NAME + 1, 'p');
    const efi_parameter unnamed[] = {{"x", nullptr}, {nullptr, nullptr}};
    const efi_parameter twice[] = {{"x", nullptr}, {"x", nullptr}};
    const efi_parameter digit[] = {{"x", nullptr}, {"2y", nullptr}};
    const efi_parameter dotted[] = {{"x.y", nullptr}, {"y", nullptr}};
    const efi_parameter tooLong[] = {{longParam.c_str(), nullptr}, {"y", nullptr}};
    const efi_parameter badHelp[] = {{"x", nullptr}, {"y", "\xc3("}};
    struct Case {
        efi_function_info info;
        const char* expected;
    };
    const Case cases[] = {
        {{unnamed, nullptr, nullptr, 0}, "entry 1 (\"f\"): parameter 2 has no name"},
        {{twice, nullptr, nullptr, 0}, "entry 1 (\"f\"): parameter 2 name \"x\" listed twice"},
        {{digit, nullptr, nullptr, 0}, "entry 1 (\"f\"): parameter 2 name \"2y\" must be letters"},
        {{dotted, nullptr, nullptr, 0}, "entry 1 (\"f\"): parameter 1 name \"x.y\" must be letters"},
        {{tooLong, nullptr, nullptr, 0}, "entry 1 (\"f\"): parameter 1 name longer than 64 bytes"},
        {{badHelp, nullptr, nullptr, 0}, "entry 1 (\"f\"): parameter 2 help is not valid UTF-8"},
        {{nullptr, "two\nlines", nullptr, 0}, "entry 1 (\"f\"): summary must be one line"},
        {{nullptr, longSummary.c_str(), nullptr, 0}, "entry 1 (\"f\"): summary longer than 1024 bytes"},
        {{nullptr, nullptr, "\xed\xa0\x80 surrogate", 0}, "entry 1 (\"f\"): help is not valid UTF-8"},
        {{nullptr, nullptr, "\xc0\xaf overlong", 0}, "entry 1 (\"f\"): help is not valid UTF-8"},
        {{nullptr, nullptr, "\xe0\x80\xaf overlong", 0}, "entry 1 (\"f\"): help is not valid UTF-8"},
        {{nullptr, nullptr, "\xf0\x8f\xbf\xbf overlong", 0}, "entry 1 (\"f\"): help is not valid UTF-8"},
        {{nullptr, nullptr, "\xf4\x90\x80\x80 past U+10FFFF", 0}, "entry 1 (\"f\"): help is not valid UTF-8"},
        {{nullptr, nullptr, "\xf5\x80\x80\x80 no lead byte", 0}, "entry 1 (\"f\"): help is not valid UTF-8"},
        {{nullptr, nullptr, "\xe2\x28\xa1 not a continuation", 0}, "entry 1 (\"f\"): help is not valid UTF-8"},
        {{nullptr, nullptr, "cut short \xe2\x82", 0}, "entry 1 (\"f\"): help is not valid UTF-8"},
        {{nullptr, nullptr, nullptr, 0x6}, "entry 1 (\"f\"): unknown flags 0x4"},
    };
    for (const Case& c : cases) {
        const efi_function_entry entries[] = {{"good", kDummy, 1, 1, kOne, 0, nullptr},
                                              {"f", kDummy, 1, 2, two, 0, nullptr}};
        const efi_function_info info[] = {{nullptr, "fine", nullptr, 0}, c.info};
        const efi_module_table table{EFI_MODULE_VERSION, 2, entries, info};
        EXPECT_THAT(LoadError(&table), HasSubstr(std::string("module \"mod.so\": ") + c.expected));
        // A table of version 1 has no descriptions to refuse.
        const efi_module_table old{EFI_MODULE_VERSION_1, 2, entries, info};
        EXPECT_EQ(LoadError(&old), "") << c.expected;
    }
    // Their sound neighbours: names that start with '_' or a capital, help of two-, three- and four-byte
    // characters.
    const efi_parameter sound[] = {{"_x", "\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xf4\x8f\xbf\xbf"}, {"Y2", nullptr}};
    const efi_function_entry entries[] = {{"f", kDummy, 1, 2, two, 0, nullptr}};
    const efi_function_info info[] = {{sound, nullptr, nullptr, 0}};
    const efi_module_table table{EFI_MODULE_VERSION, 1, entries, info};
    const auto fns = Efi::ReadModuleTable(&table, "mod.so");
    EXPECT_EQ(fns[0].description.params, (std::vector<std::string>{"_x", "Y2"}));
    EXPECT_EQ(fns[0].description.paramHelp[0], sound[0].help);
}

TEST(ModuleTable, MalformedTablesAreNamed) {
    const efi_function_entry one[] = {{"f", kDummy, 1, 1, kOne, 0, nullptr}};
    const efi_module_table wrongVersion{3, 1, one, nullptr};
    const efi_module_table noEntries{EFI_MODULE_VERSION, 1, nullptr, nullptr};
    const efi_module_table huge{EFI_MODULE_VERSION, 100000, one, nullptr};
    EXPECT_EQ(LoadError(nullptr), "module \"mod.so\": no function table");
    EXPECT_EQ(LoadError(&wrongVersion), "module \"mod.so\": table version 3, expected 1 or 2");
    EXPECT_EQ(LoadError(&noEntries), "module \"mod.so\": table has no entries array");
    EXPECT_EQ(LoadError(&huge), "module \"mod.so\": table lists 100000 functions, at most 4096 allowed");
}

TEST(ModuleFile, MissingOrTablelessModulesAreRefused) {
    try {
        Efi::LoadModule("/nonexistent/libnothing.so");
        ADD_FAILURE() << "loaded a missing module";
    } catch (const Efi::ModuleError& e) {
        EXPECT_THAT(e.what(), HasSubstr("module \"/nonexistent/libnothing.so\": cannot be loaded: "));
    }
    try {
        Efi::LoadModule("libm.so.6");
        ADD_FAILURE() << "loaded a module without a table";
    } catch (const Efi::ModuleError& e) {
        EXPECT_STREQ(e.what(), "module \"libm.so.6\": exports no efi_module");
    }
    try {
        Efi::LoadModule(EFI_OUTDATED_MODULE);
        ADD_FAILURE() << "loaded a module built against the shared allocator statics";
    } catch (const Efi::ModuleError& e) {
        EXPECT_THAT(e.what(), HasSubstr("built against efi headers older than 0.2, where IqlAllocator::m_current was "
                                        "shared by the whole process (it is each thread's own now): rebuild it"));
    }
}

TEST(ModuleFile, TheSampleListsItsFunctions) {
    auto fns = Efi::LoadModule(EFI_SAMPLE_MODULE);
    std::vector<std::string> names;
    for (auto& f : fns) names.push_back(f.name);
    EXPECT_THAT(names, ::testing::IsSupersetOf({"sample_add", "sample_scale", "sample_upper", "sample_path",
                                                "sample_divide", "sample_apply"}));
}

// A module's constructors run with every exception masked, so threads they
// start compute masked too, and the loader gives back the caller's state;
// a thread a module starts inside a call (with the call's trapping word) is
// masked where it traps. Either way 1 / 0 on the module's thread is an
// infinity and the process lives.
TEST(ModuleFile, ThreadsAModuleStartsNeverEndTheProcess) {
    Vrn::Run::InstallFaultTranslation();
    efitest::FpEnvGuard env;
    Efi::User::set_control_word(Efi::User::kHostControlWord);
    const std::uint32_t before = efitest::Mxcsr();
    const auto& threads = Module(EFI_THREAD_MODULE);
    EXPECT_EQ(efitest::X87ControlWord(), Efi::User::kHostControlWord);
    EXPECT_EQ(efitest::Mxcsr(), before);
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(static_cast<std::uint32_t>(Call(threads.at("w_load_mxcsr"), {N(0)}).as<Qlt::NumVal>()->Data.rp) & 0x1F80u,
              0x1F80u);
    EXPECT_EQ(Call(threads.at("w_load_quotient"), {N(0)}).as<Qlt::NumVal>()->Data.rp, inf);
    const struct { double a, b, quotient; } cases[] = {{1, 0, inf}, {-1, 0, -inf}, {1e300, 1e-300, inf}, {6, 3, 2}};
    for (const auto& c : cases)
        EXPECT_EQ(Call(threads.at("w_divide"), {N(c.a), N(c.b)}).as<Qlt::NumVal>()->Data.rp, c.quotient) << c.a;
    EXPECT_TRUE(std::isnan(Call(threads.at("w_divide"), {N(0), N(0)}).as<Qlt::NumVal>()->Data.rp));
}

}  // namespace

namespace {

const Efi::LoadedFunction& Loaded(const Efi::HostSession& s, const char* name) {
    const Efi::LoadedFunction* f = s.Find(name);
    if (!f) throw std::runtime_error(std::string("not loaded: ") + name);
    return *f;
}

// What every host is told of a function: the signature it lists, whether
// the directory goes first, and whether it has the number-only road.
TEST(HostSession, DescribesEachFunctionOnce) {
    Efi::HostSession s;
    s.LoadModule(EFI_TEST_MODULE);
    s.AddConversions();
    struct Case {
        const char* name;
        const char* signature;
        bool takesDirectory, numbers;
    } const cases[] = {
        {"t_code", "t_code(number) -> number", false, true},
        {"t_three", "t_three(number, matrix, text) -> number", false, false},
        {"t_weighted10",
         "t_weighted10(number, number, number, number, number, number, number, number, number, "
         "number) -> number",
         false, true},
        {"t_hidden2", "t_hidden2(matrix, file) -> text", true, false},
        {"t_eleven",
         "t_eleven(number, number, number, number, number, number, number, number, number, number, "
         "number) -> number  (never callable: declares 11 arguments; calls take 1 to 10)",
         false, false},
        {"t_bad_arg", "t_bad_arg(unsupported) -> number  (never callable: argument 1 has unknown code 5)", false,
         false},
        {"t_ret3", "t_ret3(number) -> unsupported  (never callable: unknown return code 3)", false, false},
        {"fif", "fif(text) -> number", false, false},
    };
    for (const Case& c : cases) {
        const Efi::LoadedFunction& f = Loaded(s, c.name);
        EXPECT_EQ(f.Signature(), c.signature) << c.name;
        EXPECT_EQ(f.takesDirectory, c.takesDirectory) << c.name;
        EXPECT_EQ(f.numbers != nullptr, c.numbers) << c.name;
    }
    Efi::ClearHostCallbacks();
}

// A name stands for one function: the same module again is the same
// functions, another module or a callback may not take a loaded name.
TEST(HostSession, ANameHoldsOneFunction) {
    Efi::HostSession s;
    const auto& first = s.LoadModule(EFI_SAMPLE_MODULE);
    const auto& again = s.LoadModule(EFI_SAMPLE_MODULE);
    EXPECT_EQ(&first, &again);

    const std::string copy = ::testing::TempDir() + "libefi_sample_copy.so";
    std::filesystem::copy_file(EFI_SAMPLE_MODULE, copy, std::filesystem::copy_options::overwrite_existing);
    try {
        s.LoadModule(copy);
        ADD_FAILURE() << "a second sample_add was accepted";
    } catch (const Efi::ModuleError& e) {
        EXPECT_THAT(e.what(), HasSubstr("is defined twice (" EFI_SAMPLE_MODULE " and " + copy + ")"));
    }
    EXPECT_EQ(Loaded(s, "sample_add").origin, EFI_SAMPLE_MODULE);

    Vrn::Run::Object callback =
        Vrn::Run::Func(1, [](std::span<const Vrn::Run::Object>) { return Vrn::Run::Number(1); });
    EXPECT_THROW(s.RegisterCallback("sample_add", callback), std::invalid_argument);
    EXPECT_NO_THROW(s.RegisterCallback("not_loaded", callback));
    std::filesystem::remove(copy);
    Efi::ClearHostCallbacks();
}

TEST(HostSession, DirectoryAndModulePathRules) {
    const auto text = [](const Vrn::Run::Object& o) { return o.as<Vrn::Run::String>()->str(); };
    EXPECT_EQ(text(Efi::DirectoryText(u"/data")), u"/data/");
    EXPECT_EQ(text(Efi::DirectoryText(u"/data/")), u"/data/");
    EXPECT_EQ(text(Efi::DirectoryText(u"")), u"");
    EXPECT_EQ(Efi::ModulePath("/abs/lib.so"), "/abs/lib.so");
    EXPECT_EQ(Efi::ModulePath("libnot-here.so"), "libnot-here.so");  // left to the loader's search
}

}  // namespace

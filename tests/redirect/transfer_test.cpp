// Remote resources against a real HTTP server on 127.0.0.1, through the
// built-in transfer component.
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include <efi/efi.h>
#include <vrnrun/transfer.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "efi_test.h"
#include "loopback_server.h"

namespace fs = std::filesystem;
using redirect_test::LoopbackServer;
using redirect_test::ReadFile;
using redirect_test::ScratchDir;
using redirect_test::WriteFile;

namespace {

/// One server for the whole suite; each test gets a private $TMPDIR and
/// checks that no temporary file is left in it.
class Transfer : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // Loopback traffic must never go through a proxy from the environment.
        ::setenv("no_proxy", "127.0.0.1,localhost,::1", 1);
        ::setenv("NO_PROXY", "127.0.0.1,localhost,::1", 1);
        s_root = new ScratchDir();
        s_server = new LoopbackServer(EFI_REDIRECT_SERVER_SCRIPT, s_root->path());
    }
    static void TearDownTestSuite() {
        delete s_server;
        delete s_root;
        s_server = nullptr;
        s_root = nullptr;
    }
    void SetUp() override {
        const char* old = std::getenv("TMPDIR");
        m_hadTmp = old != nullptr;
        if (m_hadTmp) m_oldTmp = old;
        ::setenv("TMPDIR", m_tmp.path().c_str(), 1);
        fs::remove(Root() / "requests.log");
    }
    void TearDown() override {
        EXPECT_EQ(TempFiles(), 0) << "a temporary file was left behind";
        if (m_hadTmp) ::setenv("TMPDIR", m_oldTmp.c_str(), 1); else ::unsetenv("TMPDIR");
    }

    static const fs::path& Root() { return s_root->path(); }
    static std::string Url(const std::string& path) { return s_server->Url(path); }
    /// The request lines the server has seen in this test.
    static std::string Requests() { return ReadFile(Root() / "requests.log"); }
    int TempFiles() const {
        int n = 0;
        for (const auto& e : fs::directory_iterator(m_tmp.path())) n += e.path().filename().string().starts_with("QL");
        return n;
    }

    /// Expects construction with eRead from `url` to raise _com_error with
    /// `hr` (0: any failing code) and to leave no temporary file.
    void ExpectDownloadFails(const std::string& url, std::int32_t hr) {
        SCOPED_TRACE(url);
        try {
            CHTTPRedirector r(url.c_str(), "", CHTTPRedirector::eRead);
            ADD_FAILURE() << "construction succeeded";
        } catch (const _com_error& e) {
            EXPECT_LT(e.Error(), 0);
            if (hr != 0) {
                EXPECT_EQ(e.Error(), hr);
            }
            EXPECT_STRNE(e.ErrorMessage(), "");
        }
        EXPECT_EQ(TempFiles(), 0);
    }

    /// Files of the test itself.
    ScratchDir m_scratch;

private:
    static inline ScratchDir* s_root = nullptr;
    static inline LoopbackServer* s_server = nullptr;
    ScratchDir m_tmp;
    std::string m_oldTmp;
    bool m_hadTmp = false;
};

TEST_F(Transfer, DownloadFillsTheTemporaryFileWithExactlyTheServedBytes) {
    for (std::size_t size : {std::size_t{1}, std::size_t{0}, std::size_t{10} << 20}) {
        SCOPED_TRACE(size);
        const std::string content = redirect_test::Pattern(size);
        const std::string name = "file" + std::to_string(size) + ".bin";
        WriteFile(Root() / name, content);
        std::string temp;
        {
            CHTTPRedirector r(name.c_str(), Url("/").c_str(), CHTTPRedirector::eRead);
            EXPECT_STREQ(r.GetURL(), Url("/" + name).c_str());
            temp = r.GetFullFileName();
            EXPECT_TRUE(ReadFile(temp) == content) << "content differs";
            EXPECT_EQ(fs::file_size(temp), size);
        }
        EXPECT_FALSE(fs::exists(temp));
    }
    EXPECT_EQ(Requests(), "GET /file1.bin\nGET /file0.bin\nGET /file10485760.bin\n");
}

TEST_F(Transfer, DownloadFollowsRedirects) {
    WriteFile(Root() / "target.bin", "moved here");
    CHTTPRedirector r(Url("/redirect/target.bin").c_str(), "", CHTTPRedirector::eRead);
    EXPECT_EQ(ReadFile(r.GetFullFileName()), "moved here");
}

TEST_F(Transfer, UploadWithWriteArrivesExactly) {
    const std::string content = redirect_test::Pattern(3 << 20) + std::string("\0tail", 5);
    fs::remove(Root() / "up" / "a.bin");
    {
        CHTTPRedirector r("up/a.bin", Url("/").c_str(), CHTTPRedirector::eWrite);
        EXPECT_EQ(fs::file_size(r.GetFullFileName()), 0u);
        WriteFile(r.GetFullFileName(), content);
    }
    EXPECT_TRUE(ReadFile(Root() / "up" / "a.bin") == content);
    EXPECT_EQ(Requests(), "PUT /up/a.bin\n");
}

TEST_F(Transfer, ReadModifyWriteRoundTrip) {
    WriteFile(Root() / "doc.txt", "version 1");
    {
        CHTTPRedirector r(Url("/doc.txt").c_str(), "C:\\ignored", CHTTPRedirector::eRead | CHTTPRedirector::eWrite);
        EXPECT_EQ(ReadFile(r.GetFullFileName()), "version 1");
        WriteFile(r.GetFullFileName(), "version 2");
    }
    EXPECT_EQ(ReadFile(Root() / "doc.txt"), "version 2");
    EXPECT_EQ(Requests(), "GET /doc.txt\nPUT /doc.txt\n");
}

TEST_F(Transfer, AbortAndMissingWriteSendNothing) {
    WriteFile(Root() / "keep.txt", "original");
    {
        CHTTPRedirector r(Url("/keep.txt").c_str(), "", CHTTPRedirector::eRead | CHTTPRedirector::eWrite);
        WriteFile(r.GetFullFileName(), "discarded");
        r.Abort();
    }
    {
        CHTTPRedirector r(Url("/keep.txt").c_str(), "", CHTTPRedirector::eRead);
        WriteFile(r.GetFullFileName(), "discarded too");
    }
    EXPECT_EQ(ReadFile(Root() / "keep.txt"), "original");
    EXPECT_EQ(Requests(), "GET /keep.txt\nGET /keep.txt\n");
}

TEST_F(Transfer, ServerErrorsRaiseWithTheirStatusAndSaveNoErrorPage) {
    ExpectDownloadFails(Url("/missing.bin"), static_cast<std::int32_t>(0x80190194u));
    ExpectDownloadFails(Url("/status/500"), static_cast<std::int32_t>(0x801901F4u));
    ExpectDownloadFails(Url("/status/403"), static_cast<std::int32_t>(0x80190193u));
}

TEST_F(Transfer, ShortBodyRaises) { ExpectDownloadFails(Url("/short"), 0); }

TEST_F(Transfer, ClosedPortRaises) {
    // A port that was just free: bind one, note it, close it.
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/a.bin";
    ExpectDownloadFails(url, static_cast<std::int32_t>(0x80040200u + 7));  // could not connect
}

TEST_F(Transfer, FailedUploadRaisesFromTheDestructor) {
    std::string temp;
    try {
        CHTTPRedirector r(Url("/status/500").c_str(), "", CHTTPRedirector::eWrite);
        temp = r.GetFullFileName();
        WriteFile(temp, "payload");
    } catch (const _com_error& e) {
        EXPECT_EQ(e.Error(), static_cast<std::int32_t>(0x801901F4u));
        EXPECT_NE(std::string(e.ErrorMessage()).find("500"), std::string::npos) << e.ErrorMessage();
    }
    EXPECT_FALSE(temp.empty());
    EXPECT_FALSE(fs::exists(temp));
}

TEST_F(Transfer, ComponentKeepsItsFileEmptyAfterAFailure) {
    std::unique_ptr<Vrn::Transfer::IComponent> object;
    ASSERT_EQ(Vrn::Transfer::CreateInstance(Vrn::Transfer::kClassId, object), Vrn::Transfer::kOk);
    ASSERT_EQ(object->Run(), Vrn::Transfer::kOk);
    std::unique_ptr<Vrn::Transfer::ITransfer> transfer;
    ASSERT_EQ(object->QueryInterface(Vrn::Transfer::kInterfaceId, transfer), Vrn::Transfer::kOk);
    EXPECT_EQ(object->QueryInterface("{00000000-0000-0000-0000-000000000000}", transfer), Vrn::Transfer::kNoInterface);
    ASSERT_EQ(object->QueryInterface(Vrn::Transfer::kInterfaceId, transfer), Vrn::Transfer::kOk);

    const fs::path file = m_scratch.path() / "out.bin";
    WriteFile(file, "stale content");
    EXPECT_EQ(transfer->DownloadToFile(file.c_str()), Vrn::Transfer::kUnexpected) << "no URL open yet";
    ASSERT_EQ(transfer->OpenURL(Url("/short").c_str(), 0, nullptr), Vrn::Transfer::kOk);
    EXPECT_LT(transfer->DownloadToFile(file.c_str()), 0);
    EXPECT_EQ(fs::file_size(file), 0u);
    EXPECT_STRNE(transfer->GetErrorText(), "");

    WriteFile(Root() / "ok.bin", "fine");
    ASSERT_EQ(transfer->OpenURL(Url("/ok.bin").c_str(), 0, nullptr), Vrn::Transfer::kOk);
    EXPECT_EQ(transfer->DownloadToFile(file.c_str()), Vrn::Transfer::kOk);
    EXPECT_STREQ(transfer->GetErrorText(), "");
    EXPECT_EQ(ReadFile(file), "fine");
    EXPECT_LT(transfer->UploadFromFile((m_scratch.path() / "absent").c_str()), 0);

    std::unique_ptr<Vrn::Transfer::IComponent> none;
    EXPECT_EQ(Vrn::Transfer::CreateInstance("{00000000-0000-0000-0000-000000000000}", none),
              Vrn::Transfer::kClassNotRegistered);
}

TEST_F(Transfer, ProtocolsOtherThanResourceTransfersAreRefused) {
    std::unique_ptr<Vrn::Transfer::IComponent> object;
    ASSERT_EQ(Vrn::Transfer::CreateInstance(Vrn::Transfer::kClassId, object), Vrn::Transfer::kOk);
    std::unique_ptr<Vrn::Transfer::ITransfer> transfer;
    ASSERT_EQ(object->QueryInterface(Vrn::Transfer::kInterfaceId, transfer), Vrn::Transfer::kOk);
    const fs::path file = m_scratch.path() / "out.bin";
    ASSERT_EQ(transfer->OpenURL("dict://127.0.0.1:1/x", 0, nullptr), Vrn::Transfer::kOk);
    EXPECT_LT(transfer->DownloadToFile(file.c_str()), 0);
}

}  // namespace

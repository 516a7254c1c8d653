#include "download/transfer.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace vorn {
namespace {

// Where the fake's random bytes (all zero) put the run's folder and its installer.
#define RUN_FOLDER_AT "C:\\Temp\\vorn-setup-aaaaaaaaaaaaaaaa"
#define INSTALLER_AT RUN_FOLDER_AT "\\vorn-setup.exe"

std::vector<std::string> logged;
void capture_log(std::string_view line) {
    logged.emplace_back(line);
}

// A scripted server and disk: the body arrives in the given chunks, and any one step can be
// made to fail. Every call is journalled.
class FakeTransport final : public DownloadTransport {
  public:
    std::string failing_step;  // e.g. "send"; its error code is 1000 + the step's position
    std::uint32_t status = 200;
    bool logon_offered = true;  // the proxy offers Negotiate or NTLM
    std::uint32_t status_after_logon = 200;
    bool logon_answered = false;
    std::vector<std::string> length_headers;  // the Content-Length values; none: absent
    std::vector<std::uint32_t> chunks;
    WideString temp = to_wide("C:\\Temp\\");
    std::function<void(const std::string& step)> before;  // runs at the start of each call
    std::vector<std::string> journal;
    std::vector<std::uint32_t> read_requests;
    std::uint64_t written = 0;

    bool open_session() override { return step("open_session"); }
    bool connect(const std::string& host, std::uint16_t port) override {
        journal.push_back("connect " + host + ":" + std::to_string(port));
        return step("connect");
    }
    bool open_request(const std::string& path, bool secure) override {
        journal.push_back("request " + path + (secure ? " secure" : ""));
        return step("open_request");
    }
    void refuse_downgrade_redirects() override { step("refuse_downgrade"); }
    bool send_request() override { return step("send"); }
    bool receive_response() override { return step("receive"); }
    bool query_status(std::uint32_t& value) override {
        value = logon_answered ? status_after_logon : status;
        return step("status");
    }
    bool answer_proxy_logon() override {
        if (!step("logon") || !logon_offered) return false;
        logon_answered = true;
        return true;
    }
    HeaderLookup query_length_header(std::uint32_t index, std::string& text) override {
        if (!step("length")) return HeaderLookup::failed;
        if (index >= length_headers.size()) return HeaderLookup::absent;
        text = length_headers[index];
        return HeaderLookup::found;
    }
    WideString temp_folder() override {
        step("temp_folder");
        return temp;
    }
    bool random_bytes(RunFolderRandom& random) override {
        random.fill(0);  // the name vorn-setup-aaaaaaaaaaaaaaaa
        return step("random");
    }
    FolderCreation create_folder(const std::string& path) override {
        journal.push_back("folder " + path);
        return step("folder") ? FolderCreation::created : FolderCreation::failed;
    }
    bool create_file(const std::string& path) override {
        journal.push_back("create " + path);
        return step("create");
    }
    bool bytes_available(std::uint32_t& count) override {
        count = next_chunk < chunks.size() ? chunks[next_chunk] : 0;
        return step("available");
    }
    bool read(std::byte*, std::uint32_t size, std::uint32_t& count) override {
        read_requests.push_back(size);
        count = std::min(size, chunks[next_chunk]);
        if (!step("read")) return false;
        chunks[next_chunk] -= count;
        if (chunks[next_chunk] == 0) ++next_chunk;
        return true;
    }
    bool write(const std::byte*, std::uint32_t size) override {
        if (!step("write")) return false;
        written += size;
        return true;
    }
    bool finish() override { return step("finish"); }
    void post_progress() override { step("post"); }
    std::uint32_t last_error() override { return last_error_; }

    std::size_t count(const std::string& name) const {
        return static_cast<std::size_t>(std::count(journal.begin(), journal.end(), name));
    }

  private:
    bool step(const std::string& name) {
        if (before) before(name);
        journal.push_back(name);
        if (name != failing_step) return true;
        last_error_ = 1000 + static_cast<std::uint32_t>(journal.size());
        return false;
    }

    std::size_t next_chunk = 0;
    std::uint32_t last_error_ = 0;
};

constexpr std::string_view ADDRESS = "https://example.test:8443/api/app/download?platform=win";

struct Outcome {
    DownloadResult result;
    std::string message() const {
        const auto* failure = std::get_if<DownloadFailure>(&result);
        return failure ? failure->message : "(success)";
    }
};

Outcome run(FakeTransport& io, SharedState& state) {
    logged.clear();
    return {run_download(ADDRESS, io, state, capture_log)};
}

// `message` with its "{}" (if any) replaced by the failing step's error code.
std::string with_error_code(std::string message, std::uint32_t code) {
    if (const auto at = message.find("{}"); at != std::string::npos) {
        message.replace(at, 2, std::to_string(code));
    }
    return message;
}

std::vector<std::uint32_t> chunks_of(std::uint64_t total, std::uint32_t size = CHUNK_SIZE) {
    std::vector<std::uint32_t> out;
    for (; total > size; total -= size) out.push_back(size);
    if (total != 0) out.push_back(static_cast<std::uint32_t>(total));
    return out;
}

TEST(RunDownload, SuccessRequestsTheAddressAndLogsTheCount) {
    FakeTransport io;
    io.chunks = {100, 23};
    io.length_headers = {"123"};
    SharedState state;
    const Outcome r = run(io, state);
    ASSERT_EQ(r.message(), "(success)");
    EXPECT_EQ(std::get<DownloadSuccess>(r.result).installer_path, INSTALLER_AT);
    const std::vector<std::string> opening = {
        "open_session", "connect example.test:8443",
        "connect",      "request /api/app/download?platform=win secure",
        "open_request", "refuse_downgrade",
        "send",         "receive",
        "status",       "length",
        "length",       "temp_folder",
        "random",       "folder " RUN_FOLDER_AT,
        "folder",       "create " INSTALLER_AT,
        "create"};
    EXPECT_EQ(std::vector(io.journal.begin(), io.journal.begin() + opening.size()), opening);
    EXPECT_EQ(io.written, 123u);
    EXPECT_EQ(state.bytes_received, 123u);
    EXPECT_EQ(state.total_bytes, 123u);
    EXPECT_EQ(io.count("finish"), 1u);
    EXPECT_EQ(logged, std::vector<std::string>{"downloaded 123 bytes -> " INSTALLER_AT});
}

TEST(RunDownload, EveryFailingStepEndsTheRunWithItsMessage) {
    struct Case {
        const char* step;
        const char* message;  // {} stands for the step's error code
        bool file_created;
    };
    const Case cases[] = {
        {"open_session", "WinHttpOpen 失败 (err={})", false},
        {"connect", "WinHttpConnect 失败 (err={})", false},
        {"open_request", "WinHttpOpenRequest 失败 (err={})", false},
        {"send", "WinHttpSendRequest 失败 (err={})", false},
        {"receive", "WinHttpReceiveResponse 失败 (err={})", false},
        {"status", "WinHttpQueryHeaders 失败 (err={})", false},
        {"length", "WinHttpQueryHeaders 失败 (err={})", false},
        {"random", "创建临时文件失败: " INSTALLER_AT, false},
        {"folder", "创建临时文件失败: " INSTALLER_AT, false},
        {"create", "创建临时文件失败: " INSTALLER_AT, true},
        {"available", "WinHttpQueryDataAvailable 失败 (err={})", true},
        {"read", "WinHttpReadData 失败 (err={})", true},
        {"write", "写入临时文件失败 (err={})", true},
        {"finish", "写入临时文件失败 (err={})", true},  // the file cannot be kept
    };
    for (const auto& c : cases) {
        FakeTransport io;
        io.failing_step = c.step;
        io.chunks = {10};
        SharedState state;
        const Outcome r = run(io, state);
        EXPECT_EQ(r.message(), with_error_code(c.message, io.last_error())) << c.step;
        EXPECT_EQ(io.journal.back(), c.step) << "nothing may follow the failing call";
        EXPECT_EQ(io.count("create " INSTALLER_AT), c.file_created ? 1u : 0u);
        EXPECT_EQ(io.count("finish"), c.step == std::string("finish") ? 1u : 0u)
            << c.step << ": the file must not be kept";
        EXPECT_TRUE(logged.empty()) << c.step;
    }
}

TEST(RunDownload, AnyStatusButOkIsAFailureBeforeTheFileExists) {
    for (const std::uint32_t status : {404u, 500u, 302u, 204u, 206u}) {
        FakeTransport io;
        io.status = status;
        io.chunks = {10};
        SharedState state;
        EXPECT_EQ(run(io, state).message(),
                  "服务器返回错误 (status=" + std::to_string(status) + ")");
        EXPECT_EQ(io.count("create"), 0u);
        EXPECT_EQ(io.count("length"), 0u);
    }
}

TEST(RunDownload, AProxysLogonRequestIsAnsweredOnceWithTheUsersLogon) {
    struct Case {
        const char* what;
        std::uint32_t status;
        bool offered;
        std::uint32_t status_after_logon;
        std::string message;
        std::size_t logons;
        std::size_t sends;
    };
    const Case cases[] = {
        {"Negotiate or NTLM, then the file", 407, true, 200, "(success)", 1, 2},
        {"Basic or Digest only", 407, false, 200, "服务器返回错误 (status=407)", 1, 1},
        {"the logon refused", 407, true, 407, "服务器返回错误 (status=407)", 1, 2},
        {"the logon accepted, the file missing", 407, true, 404, "服务器返回错误 (status=404)", 1,
         2},
        {"the server asks, not the proxy", 401, true, 200, "服务器返回错误 (status=401)", 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeTransport io;
        io.status = c.status;
        io.logon_offered = c.offered;
        io.status_after_logon = c.status_after_logon;
        io.chunks = {10};
        SharedState state;
        EXPECT_EQ(run(io, state).message(), c.message);
        EXPECT_EQ(io.count("logon"), c.logons);
        EXPECT_EQ(io.count("send"), c.sends);
        EXPECT_EQ(io.count("create"), c.message == "(success)" ? 1u : 0u);
    }
}

TEST(RunDownload, PostsProgressEveryTwoMebibytesAndOnceAtTheEnd) {
    struct Case {
        std::uint64_t body;
        std::uint32_t chunk;
        std::size_t posts;  // including the final one
    };
    const Case cases[] = {
        {0, CHUNK_SIZE, 1},         {2097151, CHUNK_SIZE, 1},     {2097152, CHUNK_SIZE, 2},
        {2097153, CHUNK_SIZE, 2},   {3 * 2097152, CHUNK_SIZE, 4}, {2097151, 1000, 1},
        {4 * 2097152 + 5, 1000, 4},  // posts at 2098000, 4196000, 6294000
    };
    for (const auto& c : cases) {
        FakeTransport io;
        io.chunks = chunks_of(c.body, c.chunk);
        std::uint64_t received_at_first_post = 0;
        SharedState state;
        io.before = [&](const std::string& step) {
            if (step == "post" && received_at_first_post == 0) {
                received_at_first_post = state.bytes_received;
            }
        };
        ASSERT_EQ(run(io, state).message(), "(success)") << c.body;
        EXPECT_EQ(io.count("post"), c.posts) << c.body;
        EXPECT_EQ(io.journal.back(), "post") << "the final post comes after the file is kept";
        if (c.body >= 2097152) {
            EXPECT_GE(received_at_first_post, 2097152u) << c.body;
        }
        EXPECT_EQ(state.bytes_received, c.body);
    }
}

TEST(RunDownload, ReadsNeverAskForMoreThanOneChunk) {
    FakeTransport io;
    io.chunks = {200000, 65536, 65537, 1};
    SharedState state;
    ASSERT_EQ(run(io, state).message(), "(success)");
    for (const std::uint32_t request : io.read_requests) EXPECT_LE(request, CHUNK_SIZE);
    EXPECT_EQ(io.written, 200000u + 65536 + 65537 + 1);
}

TEST(RunDownload, CancellationDiscardsTheFileWhereverItIsSeen) {
    struct Case {
        const char* name;
        std::size_t cancel_at_available;  // set the flag before this availability query (1-based)
        std::uint64_t expected_received;
    };
    // Three chunks of 10 bytes: the 4th query is the one that would report the end.
    const Case cases[] = {
        {"before the first read", 1, 0},
        {"mid-transfer", 2, 10},
        {"after the last chunk", 4, 30},
    };
    for (const auto& c : cases) {
        FakeTransport io;
        io.chunks = {10, 10, 10};
        io.length_headers = {"30"};
        SharedState state;
        std::size_t queries = 0;
        io.before = [&](const std::string& step) {
            if (step == "write" && queries + 1 == c.cancel_at_available)
                state.claim(RunState::cancelled);
            if (step == "temp_folder" && c.cancel_at_available == 1) {
                state.claim(RunState::cancelled);
            }
            if (step == "available") ++queries;
        };
        EXPECT_EQ(run(io, state).message(), "用户已取消") << c.name;
        EXPECT_EQ(queries, c.cancel_at_available - 1) << c.name << ": no query after the cancel";
        EXPECT_EQ(state.bytes_received, c.expected_received) << c.name;
        EXPECT_EQ(io.count("post"), 0u) << c.name;
        EXPECT_EQ(io.count("finish"), 0u) << c.name;
        EXPECT_TRUE(logged.empty()) << c.name;
    }
}

TEST(RunDownload, CancellationAfterTheEndWasReportedIsTooLate) {
    // The end of the body is the worker's claim on the run's end: from then on the window's own
    // claim fails, and the download is kept and handed over.
    FakeTransport io;
    io.chunks = {10};
    SharedState state;
    bool window_won = true;
    io.before = [&](const std::string& step) {
        if (step == "finish") window_won = state.claim(RunState::cancelled);
    };
    EXPECT_EQ(run(io, state).message(), "(success)");
    EXPECT_FALSE(window_won);
    EXPECT_EQ(state.run_state, RunState::finishing);
}

TEST(RunDownload, TheRunEndsWithWhicheverSideClaimsItFirst) {
    struct Case {
        const char* name;
        const char* window_claims_at;  // the window claims at the start of this call
        RunState window_claim;
        const char* failing_step;  // "": none
        const char* message;
        RunState end;
    };
    // One chunk of 10 bytes: the second availability query reports the end, after which the
    // worker claims the run's end and keeps the file (finish).
    const Case cases[] = {
        {"Cancel between the last read and the keep", "available#2", RunState::cancelled, "",
         "用户已取消", RunState::cancelled},
        {"close between the last read and the keep", "available#2", RunState::closed, "",
         "用户已取消", RunState::closed},
        {"close while the file is kept", "finish", RunState::closed, "", "(success)",
         RunState::finishing},
        {"Cancel after the success was handed over", "post#1", RunState::cancelled, "", "(success)",
         RunState::finishing},
        {"Cancel during a call that then fails", "available#1", RunState::cancelled, "available",
         "用户已取消", RunState::cancelled},
        {"close during a call that then fails", "receive#1", RunState::closed, "receive",
         "用户已取消", RunState::closed},
        {"Cancel while the kept file fails", "finish", RunState::cancelled, "finish",
         "写入临时文件失败 (err={})", RunState::finishing},
        {"a failure, no click", "", RunState::cancelled, "read", "WinHttpReadData 失败 (err={})",
         RunState::finishing},
    };
    for (const auto& c : cases) {
        FakeTransport io;
        io.chunks = {10};
        io.length_headers = {"10"};
        io.failing_step = c.failing_step;
        SharedState state;
        const std::string at = c.window_claims_at;
        const std::string at_step = at.substr(0, at.find('#'));
        const std::size_t at_call =
            at.find('#') == std::string::npos ? 1 : std::stoul(at.substr(at.find('#') + 1));
        io.before = [&](const std::string& step) {
            if (step == at_step && io.count(step) + 1 == at_call) state.claim(c.window_claim);
        };
        const Outcome r = run(io, state);
        EXPECT_EQ(r.message(), with_error_code(c.message, io.last_error())) << c.name;
        EXPECT_EQ(state.run_state, c.end) << c.name;
        const bool kept = r.message() == "(success)";
        EXPECT_EQ(logged.size(), kept ? 1u : 0u) << c.name << ": logged only when kept";
        if (c.end != RunState::finishing) {
            EXPECT_EQ(io.count("finish"), 0u) << c.name << ": kept a file of an ended run";
        }
        // Whoever won, the run is decided: no later claim moves it.
        EXPECT_EQ(state.claim(RunState::closed), false) << c.name;
    }
}

TEST(RunDownload, EveryContentLengthMustBeTheSamePlainNumber) {
    struct Case {
        std::vector<std::string> headers;
        std::optional<std::uint64_t> total;  // nullopt: refused as unreadable
    };
    const Case cases[] = {
        {{}, 0},  // no header: length unknown
        {{"30"}, 30},
        {{"0030"}, 30},
        {{" 30\t"}, 30},
        {{"30", "30"}, 30},
        {{"30", "030"}, 30},
        {{""}, std::nullopt},
        {{"3O"}, std::nullopt},
        {{"-30"}, std::nullopt},
        {{"+30"}, std::nullopt},
        {{"3 0"}, std::nullopt},
        {{"30, 30"}, std::nullopt},
        {{"18446744073709551616"}, std::nullopt},  // 2^64 does not fit
        {{"30", "31"}, std::nullopt},
        {{"30", "abc"}, std::nullopt},
    };
    for (const auto& c : cases) {
        const std::string name = ::testing::PrintToString(c.headers);
        FakeTransport io;
        io.chunks = {30};
        io.length_headers = c.headers;
        SharedState state;
        const Outcome r = run(io, state);
        EXPECT_EQ(r.message(), c.total ? "(success)" : INVALID_LENGTH_MESSAGE) << name;
        EXPECT_EQ(state.total_bytes, c.total.value_or(0)) << name;
        EXPECT_EQ(io.count("create"), c.total ? 1u : 0u) << name << ": refused before the file";
        EXPECT_EQ(logged.size(), c.total ? 1u : 0u) << name;
    }
    EXPECT_EQ(parse_content_length("18446744073709551615"), UINT64_MAX);
}

TEST(RunDownload, ABodyOfAnotherLengthThanAnnouncedIsIncomplete) {
    struct Case {
        std::vector<std::string> announced;
        std::vector<std::uint32_t> chunks;
        const char* message;
    };
    const Case cases[] = {
        {{"100"}, {60}, "下载不完整 (60/100 字节)"},
        {{"100"}, {}, "下载不完整 (0/100 字节)"},
        {{"100"}, {60, 50}, "下载不完整 (110/100 字节)"},
        {{"0"}, {5}, "下载不完整 (5/0 字节)"},
        {{"0"}, {}, "(success)"},
        {{}, {60, 50}, "(success)"},  // unknown length: whatever arrives
        {{}, {}, "(success)"},
    };
    for (const auto& c : cases) {
        const std::string name = ::testing::PrintToString(c.announced);
        FakeTransport io;
        io.length_headers = c.announced;
        io.chunks = c.chunks;
        SharedState state;
        EXPECT_EQ(run(io, state).message(), c.message) << name;
        EXPECT_EQ(io.count("finish"), std::string(c.message) == "(success)" ? 1u : 0u) << name;
    }
}

}  // namespace
}  // namespace vorn

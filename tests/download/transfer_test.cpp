#include "download/transfer.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
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
    AuthChallenge challenge{true, true, true};  // a 407's, or a 401's
    std::uint32_t status_after_logon = 200;
    bool logon_answered = false;
    // The proxies that cannot be reached ("DIRECT": the server, without one), with the error
    // WinHttpSendRequest gives for each.
    std::map<std::string, std::uint32_t> unreachable;
    std::vector<std::string> length_headers;  // the Content-Length values; none: absent
    std::vector<std::uint32_t> chunks;
    WideString temp = to_wide("C:\\Temp\\");
    std::function<void(const std::string& step)> before;  // runs at the start of each call
    std::vector<std::string> journal;
    std::vector<std::uint32_t> read_requests;
    std::uint64_t written = 0;

    bool open_session(const ProxyRoute& route) override {
        route_ = route;
        journal.push_back(route.kind == ProxyRoute::Kind::named    ? "session by " + route.proxy
                          : route.kind == ProxyRoute::Kind::direct ? "session direct"
                                                                   : "session by the machine's");
        return step("open_session");
    }
    void close_session() override { step("close_session"); }
    bool connect(const std::string& host, std::uint16_t port) override {
        journal.push_back("connect " + host + ":" + std::to_string(port));
        return step("connect");
    }
    bool open_request(const std::string& path, bool secure) override {
        journal.push_back("request " + path + (secure ? " secure" : ""));
        return step("open_request");
    }
    void refuse_downgrade_redirects() override { step("refuse_downgrade"); }
    bool send_request() override {
        const auto down =
            unreachable.find(route_.kind == ProxyRoute::Kind::direct ? "DIRECT" : route_.proxy);
        if (down == unreachable.end()) return step("send");
        step("send");
        last_error_ = down->second;
        return false;
    }
    bool receive_response() override { return step("receive"); }
    bool query_status(std::uint32_t& value) override {
        value = logon_answered ? status_after_logon : status;
        return step("status");
    }
    bool query_challenge(AuthChallenge& value) override {
        value = challenge;
        return step("challenge");
    }
    bool set_default_credentials(AuthTarget target, LogonScheme scheme) override {
        journal.push_back(std::string("credentials for the ") +
                          (target == AuthTarget::proxy ? "proxy" : "server") + " by " +
                          (scheme == LogonScheme::negotiate ? "Negotiate" : "NTLM"));
        if (!step("logon")) return false;
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

    ProxyRoute route_;
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

const ProxyRoute DIRECT_ROUTE{ProxyRoute::Kind::direct, {}, {}};
const ProxyRoutes DIRECT{{DIRECT_ROUTE}, {}};

ProxyRoute proxy(std::string server) {
    return {ProxyRoute::Kind::named, std::move(server), {}};
}

ProxyRoutes through(std::vector<ProxyRoute> in_order) {
    return {std::move(in_order), {}};
}

Outcome run(FakeTransport& io, SharedState& state, const ProxyRoutes& routes = DIRECT) {
    logged.clear();
    return {run_download(ADDRESS, routes, io, state, capture_log)};
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
    const std::vector<std::string> opening = {"session direct",
                                              "open_session",
                                              "connect example.test:8443",
                                              "connect",
                                              "request /api/app/download?platform=win secure",
                                              "open_request",
                                              "refuse_downgrade",
                                              "send",
                                              "receive",
                                              "status",
                                              "length",
                                              "length",
                                              "temp_folder",
                                              "random",
                                              "folder " RUN_FOLDER_AT,
                                              "folder",
                                              "create " INSTALLER_AT,
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

const AuthChallenge PROXY_NEGOTIATE{true, true, true};
const AuthChallenge PROXY_NTLM{true, false, true};
const AuthChallenge PROXY_BASIC{true, false, false};
const AuthChallenge SERVER_NTLM{false, false, true};

TEST(RunDownload, OnlyTheChosenProxyGetsTheUsersLogonOnce) {
    const ProxyRoutes CHOSEN_PROXY = through({proxy("proxy.corp:3128")});
    const ProxyRoutes MACHINES{{ProxyRoute{}}, {}};
    const std::string TO_THE_PROXY_BY_NEGOTIATE = "credentials for the proxy by Negotiate";
    struct Case {
        const char* what;
        ProxyRoutes routes;
        std::uint32_t status;
        AuthChallenge challenge;
        std::uint32_t status_after_logon;
        std::string message;
        std::vector<std::string> credentials;  // what was given, to whom
    };
    const Case cases[] = {
        // clang-format off
        {"the chosen proxy, Negotiate: then the file", CHOSEN_PROXY, 407, PROXY_NEGOTIATE, 200,
         "(success)", {TO_THE_PROXY_BY_NEGOTIATE}},
        {"the chosen proxy, NTLM alone", CHOSEN_PROXY, 407, PROXY_NTLM, 200, "(success)",
         {"credentials for the proxy by NTLM"}},
        {"the chosen proxy, Basic or Digest only", CHOSEN_PROXY, 407, PROXY_BASIC, 200,
         "服务器返回错误 (status=407)", {}},
        {"the chosen proxy refuses the logon: a 407 after it ends the run", CHOSEN_PROXY, 407,
         PROXY_NEGOTIATE, 407, "服务器返回错误 (status=407)", {TO_THE_PROXY_BY_NEGOTIATE}},
        {"the logon accepted, the file missing", CHOSEN_PROXY, 407, PROXY_NEGOTIATE, 404,
         "服务器返回错误 (status=404)", {TO_THE_PROXY_BY_NEGOTIATE}},
        {"a 407 whose challenge is the server's", CHOSEN_PROXY, 407, SERVER_NTLM, 200,
         "服务器返回错误 (status=407)", {}},
        {"the server asks (401)", CHOSEN_PROXY, 401, SERVER_NTLM, 200,
         "服务器返回错误 (status=401)", {}},
        {"a direct route: a server's 407 gets nothing", DIRECT, 407, PROXY_NEGOTIATE, 200,
         "服务器返回错误 (status=407)", {}},
        {"the machine's setting: a proxy nobody here chose gets nothing", MACHINES, 407,
         PROXY_NEGOTIATE, 200, "服务器返回错误 (status=407)", {}},
        // clang-format on
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeTransport io;
        io.status = c.status;
        io.challenge = c.challenge;
        io.status_after_logon = c.status_after_logon;
        io.chunks = {10};
        SharedState state;
        EXPECT_EQ(run(io, state, c.routes).message(), c.message);
        std::vector<std::string> credentials;
        for (const std::string& entry : io.journal) {
            if (entry.starts_with("credentials")) credentials.push_back(entry);
        }
        EXPECT_EQ(credentials, c.credentials);
        const std::size_t answered = c.credentials.size();
        EXPECT_EQ(io.count("send"), 1 + answered);
        EXPECT_EQ(io.count("create"), c.message == "(success)" ? 1u : 0u);
        if (answered != 0) {
            // Between the challenge and the second send nothing else reaches the platform: no
            // policy is changed, no other credentials are set.
            const auto at = std::find(io.journal.begin(), io.journal.end(), "challenge");
            ASSERT_NE(at, io.journal.end());
            EXPECT_EQ(std::vector(at, at + 4),
                      (std::vector<std::string>{"challenge", c.credentials[0], "logon", "send"}));
        }
    }
}

TEST(RunDownload, GoesOnToTheNextRouteOnlyWhenItsProxyCannotBeReached) {
    const ProxyRoutes P1_P2_DIRECT = through({proxy("p1:8080"), proxy("p2:8080"), DIRECT_ROUTE});
    struct Case {
        const char* what;
        ProxyRoutes routes;
        std::map<std::string, std::uint32_t> unreachable;
        std::string message;
        std::vector<std::string> sessions;  // in order
    };
    const Case cases[] = {
        // clang-format off
        {"the first proxy answers", P1_P2_DIRECT, {}, "(success)", {"session by p1:8080"}},
        {"the first refuses (12029): the second", P1_P2_DIRECT, {{"p1:8080", 12029}}, "(success)",
         {"session by p1:8080", "session by p2:8080"}},
        {"name not found (12007), no answer in time (12002): DIRECT", P1_P2_DIRECT,
         {{"p1:8080", 12007}, {"p2:8080", 12002}}, "(success)",
         {"session by p1:8080", "session by p2:8080", "session direct"}},
        {"every proxy down and no DIRECT: the last one's failure",
         through({proxy("p1:8080"), proxy("p2:8080")}), {{"p1:8080", 12029}, {"p2:8080", 12029}},
         "WinHttpSendRequest 失败 (err=12029)", {"session by p1:8080", "session by p2:8080"}},
        {"another failure (12175, a certificate refused) is no reason to go on", P1_P2_DIRECT,
         {{"p1:8080", 12175}}, "WinHttpSendRequest 失败 (err=12175)", {"session by p1:8080"}},
        // clang-format on
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeTransport io;
        io.unreachable = c.unreachable;
        io.chunks = {10};
        SharedState state;
        EXPECT_EQ(run(io, state, c.routes).message(), c.message);
        std::vector<std::string> sessions;
        for (const std::string& entry : io.journal) {
            if (entry.starts_with("session")) sessions.push_back(entry);
        }
        EXPECT_EQ(sessions, c.sessions);
        // Each attempt's handles are closed before the next session opens.
        EXPECT_EQ(io.count("close_session"), c.sessions.size() - 1);
        EXPECT_EQ(io.count("send"), c.sessions.size());
        EXPECT_TRUE(c.message != "(success)" || logged.size() == 1);
    }
}

TEST(RunDownload, ADirectRouteThatCannotConnectEndsTheRun) {
    FakeTransport io;
    io.unreachable = {{"DIRECT", 12029}};
    SharedState state;
    // The next route is never tried: without a proxy it is the server that cannot be reached.
    EXPECT_EQ(run(io, state, through({DIRECT_ROUTE, proxy("p:1")})).message(),
              "WinHttpSendRequest 失败 (err=12029)");
    EXPECT_EQ(io.count("open_session"), 1u);
}

TEST(RunDownload, CancelBetweenRoutesEndsTheRun) {
    FakeTransport io;
    io.unreachable = {{"p1:8080", 12029}};
    SharedState state;
    io.before = [&](const std::string& step) {
        if (step == "send") state.claim(RunState::cancelled);
    };
    EXPECT_EQ(run(io, state, through({proxy("p1:8080"), proxy("p2:8080")})).message(),
              "用户已取消");
    EXPECT_EQ(io.count("open_session"), 1u) << "no second route after the cancel";
}

TEST(RunDownload, NothingButSocksForHttpsIsNamedAndNothingIsSent) {
    FakeTransport io;
    SharedState state;
    EXPECT_EQ(run(io, state, ProxyRoutes{{}, "socks.corp:1080"}).message(),
              "不支持 SOCKS 代理服务器: socks.corp:1080");
    EXPECT_TRUE(io.journal.empty());
    EXPECT_TRUE(logged.empty());
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

TEST(RunDownload, ARunThatHasEndedMakesNoFurtherCallToTheNetworkOrTheDisk) {
    // The window ends the run (Cancel, or the close) while one call is under way, a call that
    // then returns as if nothing had happened: no call after it reaches the network or the disk.
    const std::vector<std::string> reaching = {
        "open_session", "connect", "open_request", "send",  "receive",
        "folder",       "create",  "available",    "read",  "write", "finish"};
    struct Case {
        const char* ended_during;  // the window claims at the start of this call (#n: n-th)
        RunState window_claim;
        std::uint32_t status;       // 407: the proxy asks for the user's logon first
        const char* last_reaching;  // the last call that reached the network or the disk
    };
    const Case cases[] = {
        {"open_session", RunState::cancelled, 200, "open_session"},
        {"connect", RunState::closed, 200, "connect"},
        {"open_request", RunState::cancelled, 200, "open_request"},
        {"refuse_downgrade", RunState::cancelled, 200, "open_request"},
        {"send", RunState::cancelled, 200, "send"},
        {"receive", RunState::closed, 200, "receive"},
        {"status", RunState::cancelled, 200, "receive"},
        {"logon", RunState::cancelled, 407, "receive"},
        {"temp_folder", RunState::cancelled, 200, "receive"},
        {"random", RunState::closed, 200, "receive"},
        {"create", RunState::cancelled, 200, "create"},
        {"available#1", RunState::closed, 200, "available"},
        {"read#1", RunState::cancelled, 200, "read"},
        {"write#1", RunState::cancelled, 200, "write"},
        {"available#2", RunState::cancelled, 200, "available"},
        {"read#2", RunState::closed, 200, "read"},
    };
    for (const auto& c : cases) {
        FakeTransport io;
        io.chunks = {10, 10};
        io.length_headers = {"20"};
        io.status = c.status;
        SharedState state;
        const std::string at = c.ended_during;
        const std::string at_step = at.substr(0, at.find('#'));
        const std::size_t at_call =
            at.find('#') == std::string::npos ? 1 : std::stoul(at.substr(at.find('#') + 1));
        std::size_t journalled_at_claim = 0;
        bool claimed = false;
        io.before = [&](const std::string& step) {
            if (step == at_step && io.count(step) + 1 == at_call) {
                claimed = state.claim(c.window_claim);
                journalled_at_claim = io.journal.size();
            }
        };
        // A proxy's request for the logon is answered on a route through the proxy chosen alone.
        const ProxyRoutes routes = c.status == 407 ? through({proxy("proxy.corp:3128")}) : DIRECT;
        EXPECT_EQ(run(io, state, routes).message(), "用户已取消") << c.ended_during;
        EXPECT_EQ(state.run_state, c.window_claim) << c.ended_during;
        ASSERT_TRUE(claimed) << c.ended_during << ": the run never reached that call";
        // The call under way at the claim is journalled first; nothing that reaches out follows.
        std::vector<std::string> after(io.journal.begin() + journalled_at_claim + 1,
                                       io.journal.end());
        for (const std::string& step : after) {
            EXPECT_EQ(std::count(reaching.begin(), reaching.end(), step), 0)
                << c.ended_during << ": " << step << " after the run had ended";
        }
        std::string last;
        for (const std::string& step : io.journal) {
            if (std::count(reaching.begin(), reaching.end(), step) != 0) last = step;
        }
        EXPECT_EQ(last, c.last_reaching) << c.ended_during;
        EXPECT_EQ(io.count("finish"), 0u) << c.ended_during;
        EXPECT_TRUE(logged.empty()) << c.ended_during;
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

// The log as written on a real (emulated) Windows file system.
#include "shell/log.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "text.h"

namespace vorn {
namespace {

std::string read_file(const std::wstring& path) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "<missing>";
    std::string content(1 << 16, '\0');
    DWORD count = 0;
    ReadFile(file, content.data(), static_cast<DWORD>(content.size()), &count, nullptr);
    CloseHandle(file);
    content.resize(count);
    return content;
}

bool exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string line(std::string_view message) {
    return "[" + std::to_string(GetCurrentProcessId()) + "] " + std::string(message) + "\n";
}

// Each test gets a fresh folder and its own TEMP and current directory, restored afterwards.
class WriteLog : public ::testing::Test {
  protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        folder_ = std::wstring(temp) + L"vorn-log-test-" + std::to_wstring(GetCurrentProcessId()) +
                  L"-" + std::to_wstring(GetTickCount64());
        ASSERT_TRUE(CreateDirectoryW(folder_.c_str(), nullptr));
        saved_temp_ = get_temp();
        wchar_t cwd[MAX_PATH];
        GetCurrentDirectoryW(MAX_PATH, cwd);
        saved_cwd_ = cwd;
        SetCurrentDirectoryW(folder_.c_str());
    }

    void TearDown() override {
        SetEnvironmentVariableW(L"TEMP", saved_temp_ ? saved_temp_->c_str() : nullptr);
        SetCurrentDirectoryW(saved_cwd_.c_str());
        remove_tree(folder_);
    }

    static std::optional<std::wstring> get_temp() {
        wchar_t value[32768];
        SetLastError(0);
        const DWORD n = GetEnvironmentVariableW(L"TEMP", value, 32768);
        if (n == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
        return std::wstring(value, n);
    }

    static void remove_tree(const std::wstring& dir) {
        WIN32_FIND_DATAW entry;
        const HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &entry);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring name = entry.cFileName;
                if (name == L"." || name == L"..") continue;
                const std::wstring path = dir + L"\\" + name;
                if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                    remove_tree(path);
                } else {
                    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                    DeleteFileW(path.c_str());
                }
            } while (FindNextFileW(find, &entry));
            FindClose(find);
        }
        RemoveDirectoryW(dir.c_str());
    }

    std::wstring folder_;
    std::optional<std::wstring> saved_temp_;
    std::wstring saved_cwd_;
};

TEST_F(WriteLog, AppendsExactUtf8LinesAcrossCalls) {
    SetEnvironmentVariableW(L"TEMP", folder_.c_str());
    write_log("vorn-installer 启动");
    write_log("FATAL: 用户已取消");
    write_log("");
    const std::string expected = line("vorn-installer 启动") + line("FATAL: 用户已取消") + line("");
    EXPECT_EQ(read_file(folder_ + L"\\vorn-installer.log"), expected);
    // Nothing but the raw bytes: no byte-order mark, no carriage return.
    EXPECT_EQ(expected.substr(0, 1), "[");
    EXPECT_EQ(expected.find('\r'), std::string::npos);
}

TEST_F(WriteLog, NeverTruncatesWhatIsAlreadyThere) {
    SetEnvironmentVariableW(L"TEMP", folder_.c_str());
    const std::wstring path = folder_ + L"\\vorn-installer.log";
    const HANDLE earlier =
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(earlier, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(earlier, "[1] earlier run\n", 16, &written, nullptr);
    CloseHandle(earlier);
    write_log("next");
    EXPECT_EQ(read_file(path), "[1] earlier run\n" + line("next"));
}

TEST_F(WriteLog, KeepsAppendingWhileAnotherProcessHoldsTheLogOpen) {
    SetEnvironmentVariableW(L"TEMP", folder_.c_str());
    const std::wstring path = folder_ + L"\\vorn-installer.log";
    write_log("first");
    // A reader (an editor, another run) sharing read and write access does not block the log.
    const HANDLE reader = CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    write_log("second");
    CloseHandle(reader);
    EXPECT_EQ(read_file(path), line("first") + line("second"));
}

TEST_F(WriteLog, ChoosesTheFolderFromTemp) {
    struct Case {
        const char* name;
        std::wstring temp;      // L"<unset>" unsets the variable
        std::wstring log_path;  // where the line must land
    };
    CreateDirectoryW((folder_ + L"\\下载").c_str(), nullptr);
    const Case cases[] = {
        {"trailing backslash", folder_ + L"\\", folder_ + L"\\vorn-installer.log"},
        {"unicode folder", folder_ + L"\\下载", folder_ + L"\\下载\\vorn-installer.log"},
        {"unset", L"<unset>", folder_ + L"\\vorn-installer.log"},
        {"unpaired surrogate", folder_ + L"\\\xD800", folder_ + L"\\vorn-installer.log"},
    };
    for (const auto& c : cases) {
        SetEnvironmentVariableW(L"TEMP", c.temp == L"<unset>" ? nullptr : c.temp.c_str());
        write_log(c.name);
        EXPECT_EQ(read_file(c.log_path), line(c.name)) << c.name;
        DeleteFileW(c.log_path.c_str());
    }
}

TEST_F(WriteLog, EmptyTempMeansTheRootOfTheCurrentDrive) {
    // The C: drive of the prefix, not the host's root directory.
    SetCurrentDirectoryW(L"C:\\");
    SetEnvironmentVariableW(L"TEMP", L"");
    ASSERT_EQ(get_temp(), std::optional<std::wstring>(L""));
    write_log("empty temp");
    EXPECT_EQ(read_file(L"C:\\vorn-installer.log"), line("empty temp"));
    DeleteFileW(L"C:\\vorn-installer.log");
}

TEST_F(WriteLog, FailuresAreIgnored) {
    // A missing folder: nothing is created, neither there nor in the current directory.
    SetEnvironmentVariableW(L"TEMP", (folder_ + L"\\missing").c_str());
    write_log("lost");
    EXPECT_FALSE(exists(folder_ + L"\\missing"));
    EXPECT_FALSE(exists(folder_ + L"\\vorn-installer.log"));

    // A log that cannot be opened for writing.
    SetEnvironmentVariableW(L"TEMP", folder_.c_str());
    const std::wstring path = folder_ + L"\\vorn-installer.log";
    ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
    write_log("lost too");
    EXPECT_TRUE(GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY);
}

TEST_F(WriteLog, ReadsATempValueLongerThanMaxPath) {
    std::wstring deep = folder_;
    while (deep.size() < 400) {
        deep += L"\\" + std::wstring(60, L'd');
        ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr) ||
                    GetLastError() == ERROR_ALREADY_EXISTS);
    }
    SetEnvironmentVariableW(L"TEMP", deep.c_str());
    write_log("deep");
    EXPECT_EQ(read_file(deep + L"\\vorn-installer.log"), line("deep"));
}

}  // namespace
}  // namespace vorn

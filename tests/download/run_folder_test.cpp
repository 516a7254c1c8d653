// The run's folder on a real (emulated) Windows file system: made new, closed to others, held,
// removed only when empty; and which folders of earlier runs go.
#include "download/run_folder.h"

#include <aclapi.h>
#include <gtest/gtest.h>

#include <string>

namespace vorn {
namespace {

bool exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void write_file(const std::wstring& path) {
    const HANDLE file =
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << from_wide(path);
    CloseHandle(file);
}

class RunFolderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        root_ = std::wstring(temp) + L"vorn-folder-test-" + std::to_wstring(GetCurrentProcessId()) +
                L"-" + std::to_wstring(GetTickCount64());
        ASSERT_TRUE(CreateDirectoryW(root_.c_str(), nullptr));
    }
    std::wstring at(const wchar_t* name) const { return root_ + L"\\" + name; }
    std::wstring root_;
};

constexpr wchar_t NAME[] = L"vorn-setup-aaaaaaaaaaaaaaaa";

TEST_F(RunFolderTest, IsMadeNewForTheUserSystemAndAdministratorsAlone) {
    const std::wstring path = at(NAME);
    RunFolder folder;
    ASSERT_EQ(folder.create(from_wide(path)), FolderCreation::created);
    RunFolder again;
    EXPECT_EQ(again.create(from_wide(path)), FolderCreation::exists);

    // What the folder is made with. Wine keeps no DACL on its files (it reads back one made from
    // the Unix mode), so the descriptor is checked as given to CreateDirectoryW.
    RunFolderSecurity security;
    ASSERT_TRUE(security.build());
    EXPECT_EQ(security.attributes()->lpSecurityDescriptor, security.descriptor());
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(security.descriptor(), &control, &revision));
    EXPECT_TRUE(control & SE_DACL_PROTECTED) << "entries of the temporary folder inherited";
    BOOL present = FALSE, defaulted = TRUE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(security.descriptor(), &present, &dacl, &defaulted));
    ASSERT_TRUE(present && dacl != nullptr);
    EXPECT_FALSE(defaulted);
    EXPECT_EQ(dacl->AceCount, 3);
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    unsigned char user[256];
    DWORD size = sizeof user;
    GetTokenInformation(token, TokenUser, user, size, &size);
    CloseHandle(token);
    unsigned char system[SECURITY_MAX_SID_SIZE], admins[SECURITY_MAX_SID_SIZE];
    DWORD system_size = sizeof system, admins_size = sizeof admins;
    CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &system_size);
    CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &admins_size);
    const PSID expected[] = {reinterpret_cast<TOKEN_USER*>(user)->User.Sid, system, admins};
    for (DWORD i = 0; i < dacl->AceCount && i < 3; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
        EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        EXPECT_TRUE(EqualSid(&ace->SidStart, expected[i])) << "entry " << i;
        EXPECT_EQ(ace->Header.AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
        EXPECT_EQ(ace->Mask, static_cast<DWORD>(FILE_ALL_ACCESS));
    }
}

TEST_F(RunFolderTest, IsHeldAgainstRenamingAndGoesWhenEmpty) {
    const std::wstring path = at(NAME);
    {
        RunFolder folder;
        ASSERT_EQ(folder.create(from_wide(path)), FolderCreation::created);
        EXPECT_FALSE(MoveFileW(path.c_str(), at(L"moved").c_str())) << "renamed while held";
        EXPECT_FALSE(RemoveDirectoryW(path.c_str())) << "deleted while held";
        EXPECT_TRUE(exists(path));
    }
    EXPECT_FALSE(exists(path)) << "an empty folder of a run that kept nothing stayed";
}

TEST_F(RunFolderTest, StaysWhenSomethingIsInside) {
    const std::wstring path = at(NAME);
    {
        RunFolder folder;
        ASSERT_EQ(folder.create(from_wide(path)), FolderCreation::created);
        write_file(path + L"\\notes.txt");
    }
    EXPECT_TRUE(exists(path + L"\\notes.txt"));
}

TEST_F(RunFolderTest, OnlyEarlierRunsFoldersThatHoldWhatARunLeavesGo) {
    struct Case {
        const wchar_t* name;
        const wchar_t* files[2];
        bool removed;
    };
    const Case cases[] = {
        {L"vorn-setup-emptyemptyemptye", {}, true},
        {L"vorn-setup-installeronlyins", {L"vorn-setup.exe"}, true},
        {L"vorn-setup-withadllwithadll", {L"vorn-setup.exe", L"version.dll"}, false},
        {L"vorn-setup-otherfileotherfi", {L"notes.txt"}, false},
        {L"vorn-setup-NOTOURSNOTOURSNO", {}, false},
        {L"vorn-setup-tooshort", {}, false},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(CreateDirectoryW(at(c.name).c_str(), nullptr));
        for (const wchar_t* file : c.files) {
            if (file) write_file(at(c.name) + L"\\" + file);
        }
    }
    // One in use: held as a run holds its own, sharing no deleting.
    const std::wstring used = at(L"vorn-setup-inuseinuseinusei");
    ASSERT_TRUE(CreateDirectoryW(used.c_str(), nullptr));
    const HANDLE hold =
        CreateFileW(used.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(hold, INVALID_HANDLE_VALUE);
    remove_earlier_run_folders(to_wide(from_wide(root_) + "\\"));
    for (const Case& c : cases) {
        EXPECT_EQ(exists(at(c.name)), !c.removed) << from_wide(c.name);
    }
    EXPECT_TRUE(exists(used)) << "a folder in use was removed";
    CloseHandle(hold);
}

TEST_F(RunFolderTest, NeverThroughALink) {
    // A link named as a run folder, to a folder that holds an installer alone: neither goes.
    const std::wstring target = at(L"target");
    ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
    write_file(target + L"\\vorn-setup.exe");
    const std::wstring link = at(L"vorn-setup-alinkalinkalinka");
    ASSERT_TRUE(CreateSymbolicLinkW(link.c_str(), target.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY))
        << GetLastError();
    ASSERT_TRUE(GetFileAttributesW(link.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT);
    remove_earlier_run_folders(root_);
    EXPECT_TRUE(exists(target + L"\\vorn-setup.exe")) << "removed through a link";
}

TEST(SystemTempFolder, IsWhatThePlatformReports) {
    wchar_t expected[MAX_PATH + 1];
    const DWORD count = GetTempPathW(MAX_PATH + 1, expected);
    // Wine has no GetTempPath2W: the fallback is what runs here.
    EXPECT_EQ(system_temp_folder(), std::wstring(expected, count));
}

}  // namespace
}  // namespace vorn

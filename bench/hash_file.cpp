// One SHA-256 of a whole file with the platform's own code, reading 64 KiB at a time: what the
// stub's signer check is compared with. The time runs from opening the file to the digest.
//
//   hash_file.exe bcrypt|cryptoapi FILE
//
// Prints {"api":...,"ms":...,"bytes":...,"sha256":"..."} on one line.
#include <windows.h>
// After windows.h, which they need.
#include <bcrypt.h>
#include <wincrypt.h>

#include <cstdio>
#include <cwchar>
#include <vector>

namespace {

constexpr DWORD CHUNK_SIZE = 65536;
constexpr DWORD DIGEST_SIZE = 32;

// One hash API: begin, feed, finish; each false on failure.
class Hasher {
  public:
    virtual ~Hasher() = default;
    virtual bool begin() = 0;
    virtual bool feed(const unsigned char* data, DWORD size) = 0;
    virtual bool finish(unsigned char* digest) = 0;
};

class BcryptHasher final : public Hasher {
  public:
    ~BcryptHasher() override {
        if (hash_) BCryptDestroyHash(hash_);
        if (algorithm_) BCryptCloseAlgorithmProvider(algorithm_, 0);
    }
    bool begin() override {
        return BCRYPT_SUCCESS(
                   BCryptOpenAlgorithmProvider(&algorithm_, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) &&
               BCRYPT_SUCCESS(BCryptCreateHash(algorithm_, &hash_, nullptr, 0, nullptr, 0, 0));
    }
    bool feed(const unsigned char* data, DWORD size) override {
        return BCRYPT_SUCCESS(BCryptHashData(hash_, const_cast<unsigned char*>(data), size, 0));
    }
    bool finish(unsigned char* digest) override {
        return BCRYPT_SUCCESS(BCryptFinishHash(hash_, digest, DIGEST_SIZE, 0));
    }

  private:
    BCRYPT_ALG_HANDLE algorithm_ = nullptr;
    BCRYPT_HASH_HANDLE hash_ = 0;
};

class CryptoApiHasher final : public Hasher {
  public:
    ~CryptoApiHasher() override {
        if (hash_) CryptDestroyHash(hash_);
        if (provider_) CryptReleaseContext(provider_, 0);
    }
    bool begin() override {
        return CryptAcquireContextW(&provider_, nullptr, nullptr, PROV_RSA_AES,
                                    CRYPT_VERIFYCONTEXT) &&
               CryptCreateHash(provider_, CALG_SHA_256, 0, 0, &hash_);
    }
    bool feed(const unsigned char* data, DWORD size) override {
        return CryptHashData(hash_, data, size, 0);
    }
    bool finish(unsigned char* digest) override {
        DWORD size = DIGEST_SIZE;
        return CryptGetHashParam(hash_, HP_HASHVAL, digest, &size, 0);
    }

  private:
    HCRYPTPROV provider_ = 0;
    HCRYPTHASH hash_ = 0;
};

bool hash_file(const wchar_t* path, Hasher& hasher, unsigned char* digest,
               unsigned long long& bytes) {
    const HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    std::vector<unsigned char> chunk(CHUNK_SIZE);
    bool ok = hasher.begin();
    DWORD count = 0;
    while (ok && ReadFile(file, chunk.data(), CHUNK_SIZE, &count, nullptr) && count > 0) {
        ok = hasher.feed(chunk.data(), count);
        bytes += count;
    }
    CloseHandle(file);
    return ok && hasher.finish(digest);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const bool bcrypt = argc == 3 && std::wcscmp(argv[1], L"bcrypt") == 0;
    if (argc != 3 || (!bcrypt && std::wcscmp(argv[1], L"cryptoapi") != 0)) {
        std::fprintf(stderr, "usage: hash_file.exe bcrypt|cryptoapi FILE\n");
        return 2;
    }
    BcryptHasher bcrypt_hasher;
    CryptoApiHasher cryptoapi_hasher;
    Hasher& hasher = bcrypt ? static_cast<Hasher&>(bcrypt_hasher) : cryptoapi_hasher;
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    unsigned char digest[DIGEST_SIZE] = {};
    unsigned long long bytes = 0;
    if (!hash_file(argv[2], hasher, digest, bytes)) {
        std::fprintf(stderr, "hash_file: hashing failed (%lu)\n", GetLastError());
        return 1;
    }
    QueryPerformanceCounter(&end);
    const double ms = 1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) /
                      static_cast<double>(frequency.QuadPart);
    std::printf("{\"api\":\"%ls\",\"ms\":%.3f,\"bytes\":%llu,\"sha256\":\"", argv[1], ms, bytes);
    for (const unsigned char byte : digest) std::printf("%02x", byte);
    std::printf("\"}\n");
    return 0;
}

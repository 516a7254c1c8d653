// The chain rules the program checks itself, on chains made here: the links' extensions are
// encoded by the platform, as a certificate would carry them. And the comparison of the signer's
// subject with the publisher's, on names the platform encodes.
#include "trust/chain_rules.h"
#include "trust/signer_name.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorn {
namespace {

using namespace std::literals;

constexpr const char* CODE = szOID_PKIX_KP_CODE_SIGNING;
constexpr const char* SERVER = szOID_PKIX_KP_SERVER_AUTH;
constexpr const char* ANY = szOID_ANY_ENHANCED_KEY_USAGE;
constexpr std::uint32_t PASSED = 0;
constexpr std::uint32_t NOT_FOR_CODE = CERT_TRUST_IS_NOT_VALID_FOR_USAGE;
constexpr std::uint32_t NOT_A_CA = CERT_TRUST_INVALID_BASIC_CONSTRAINTS;

struct Constraints {
    bool ca;
    std::optional<DWORD> path_length = std::nullopt;
};

// One link, leaf first: its extended-key-usage extensions (each a list of usages), its basic
// constraints, and whether it names itself as its issuer. `garbled` extensions cannot be decoded.
struct Link {
    std::vector<std::vector<const char*>> usages;
    std::optional<Constraints> constraints;
    bool self_issued = false;
    bool garbled_usage = false;
    bool garbled_constraints = false;
};

std::vector<BYTE> encode(LPCSTR type, const void* value) {
    DWORD size = 0;
    CryptEncodeObjectEx(X509_ASN_ENCODING, type, value, 0, nullptr, nullptr, &size);
    std::vector<BYTE> encoded(size);
    EXPECT_TRUE(
        CryptEncodeObjectEx(X509_ASN_ENCODING, type, value, 0, nullptr, encoded.data(), &size));
    encoded.resize(size);
    return encoded;
}

// A chain context as an engine returns it, but only as deep as the rules look: each element's
// certificate has its extensions, subject and issuer.
class Chain {
  public:
    explicit Chain(const std::vector<Link>& links) {
        const std::size_t count = links.size();
        names_.reserve(count + 1);
        for (std::size_t i = 0; i <= count; ++i) names_.push_back(name(i));
        extensions_.resize(count);
        encoded_.reserve(count * 4);
        infos_.resize(count);
        contexts_.resize(count);
        elements_.resize(count);
        for (std::size_t i = 0; i < count; ++i) add(i, links[i]);
        for (CERT_CHAIN_ELEMENT& element : elements_) element_pointers_.push_back(&element);
        simple_.cbSize = sizeof simple_;
        simple_.cElement = static_cast<DWORD>(element_pointers_.size());
        simple_.rgpElement = element_pointers_.data();
        simple_pointer_ = &simple_;
        context_.cbSize = sizeof context_;
        context_.cChain = 1;
        context_.rgpChain = &simple_pointer_;
    }
    Chain(const Chain&) = delete;
    Chain& operator=(const Chain&) = delete;

    const CERT_CHAIN_CONTEXT& context() const { return context_; }

  private:
    // Distinct names for distinct links: a subject is "CN=<i>", its issuer the next one's.
    std::vector<BYTE> name(std::size_t i) {
        const std::wstring text = L"CN=" + std::to_wstring(i);
        DWORD size = 0;
        CertStrToNameW(X509_ASN_ENCODING, text.c_str(), CERT_X500_NAME_STR, nullptr, nullptr, &size,
                       nullptr);
        std::vector<BYTE> encoded(size);
        EXPECT_TRUE(CertStrToNameW(X509_ASN_ENCODING, text.c_str(), CERT_X500_NAME_STR, nullptr,
                                   encoded.data(), &size, nullptr));
        return encoded;
    }

    void extension(std::size_t i, const char* oid, std::vector<BYTE> value) {
        encoded_.push_back(std::move(value));
        CERT_EXTENSION extension{};
        extension.pszObjId = const_cast<LPSTR>(oid);
        extension.Value.cbData = static_cast<DWORD>(encoded_.back().size());
        extension.Value.pbData = encoded_.back().data();
        extensions_[i].push_back(extension);
    }

    void add(std::size_t i, const Link& link) {
        const std::vector<BYTE> garbage = {0x30, 0x03, 0x06};  // a truncated sequence
        for (const std::vector<const char*>& usages : link.usages) {
            CERT_ENHKEY_USAGE usage{static_cast<DWORD>(usages.size()),
                                    const_cast<LPSTR*>(usages.data())};
            extension(i, szOID_ENHANCED_KEY_USAGE, encode(X509_ENHANCED_KEY_USAGE, &usage));
        }
        if (link.garbled_usage) extension(i, szOID_ENHANCED_KEY_USAGE, garbage);
        if (link.constraints) {
            CERT_BASIC_CONSTRAINTS2_INFO basic{link.constraints->ca,
                                               link.constraints->path_length.has_value(),
                                               link.constraints->path_length.value_or(0)};
            extension(i, szOID_BASIC_CONSTRAINTS2, encode(X509_BASIC_CONSTRAINTS2, &basic));
        }
        if (link.garbled_constraints) extension(i, szOID_BASIC_CONSTRAINTS2, garbage);
        CERT_INFO& info = infos_[i];
        info.dwVersion = CERT_V3;
        info.Subject = {static_cast<DWORD>(names_[i].size()), names_[i].data()};
        std::vector<BYTE>& issuer = link.self_issued ? names_[i] : names_[i + 1];
        info.Issuer = {static_cast<DWORD>(issuer.size()), issuer.data()};
        info.cExtension = static_cast<DWORD>(extensions_[i].size());
        info.rgExtension = extensions_[i].data();
        contexts_[i].dwCertEncodingType = X509_ASN_ENCODING;
        contexts_[i].pCertInfo = &info;
        elements_[i].cbSize = sizeof(CERT_CHAIN_ELEMENT);
        elements_[i].pCertContext = &contexts_[i];
    }

    std::vector<std::vector<BYTE>> names_;
    std::vector<std::vector<BYTE>> encoded_;
    std::vector<std::vector<CERT_EXTENSION>> extensions_;
    std::vector<CERT_INFO> infos_;
    std::vector<CERT_CONTEXT> contexts_;
    std::vector<CERT_CHAIN_ELEMENT> elements_;
    std::vector<PCERT_CHAIN_ELEMENT> element_pointers_;
    CERT_SIMPLE_CHAIN simple_{};
    PCERT_SIMPLE_CHAIN simple_pointer_ = nullptr;
    CERT_CHAIN_CONTEXT context_{};
};

const Link LEAF{{{CODE}}, Constraints{false}};
const Link CA{{{CODE}}, Constraints{true}};
const Link ROOT{{}, Constraints{true}, true};

struct Row {
    const char* what;
    std::vector<Link> links;
    std::uint32_t expected;
};

TEST(LinkRefusal, EveryLinkAllowsCodeSigningAndEveryIssuerIsACaWithinItsPathLength) {
    const Row rows[] = {
        {"leaf under the root", {LEAF, ROOT}, PASSED},
        {"under an intermediate for code signing", {LEAF, CA, ROOT}, PASSED},
        {"intermediate for any usage", {LEAF, {{{ANY}}, Constraints{true}}, ROOT}, PASSED},
        {"intermediate for code and servers",
         {LEAF, {{{SERVER, CODE}}, Constraints{true}}, ROOT},
         PASSED},
        {"intermediate without usages", {LEAF, {{}, Constraints{true}}, ROOT}, PASSED},
        {"leaf for servers only", {{{{SERVER}}, Constraints{false}}, ROOT}, NOT_FOR_CODE},
        {"intermediate for servers only",
         {LEAF, {{{SERVER}}, Constraints{true}}, CA, ROOT},
         NOT_FOR_CODE},
        {"root for servers only", {LEAF, CA, {{{SERVER}}, Constraints{true}, true}}, NOT_FOR_CODE},
        {"intermediate with a second usage extension for servers",
         {LEAF, {{{CODE}, {SERVER}}, Constraints{true}}, ROOT},
         NOT_FOR_CODE},
        {"usages that cannot be read",
         {LEAF, {{}, Constraints{true}, false, true}, ROOT},
         NOT_FOR_CODE},
        {"issuer that is not a CA", {LEAF, {{{CODE}}, Constraints{false}}, ROOT}, NOT_A_CA},
        {"issuer without basic constraints", {LEAF, {{{CODE}}, std::nullopt}, ROOT}, NOT_A_CA},
        {"basic constraints that cannot be read",
         {LEAF, {{{CODE}}, std::nullopt, false, false, true}, ROOT},
         NOT_A_CA},
        {"root without basic constraints", {LEAF, CA, {{}, std::nullopt, true}}, PASSED},
        {"last link without basic constraints, not self-issued",
         {LEAF, CA, {{}, std::nullopt, false}},
         NOT_A_CA},
        {"root that says it is no CA", {LEAF, {{}, Constraints{false}, true}}, NOT_A_CA},
        {"path length 0, leaf right below", {LEAF, {{{CODE}}, Constraints{true, 0}}, ROOT}, PASSED},
        {"path length 0, a CA below", {LEAF, CA, {{{CODE}}, Constraints{true, 0}}, ROOT}, NOT_A_CA},
        {"path length 1, one CA below", {LEAF, CA, {{{CODE}}, Constraints{true, 1}}, ROOT}, PASSED},
        {"root's path length 1, two CAs below",
         {LEAF, CA, CA, {{}, Constraints{true, 1}, true}},
         NOT_A_CA},
        {"path length 0, a self-issued CA below",
         {LEAF, {{{CODE}}, Constraints{true}, true}, {{{CODE}}, Constraints{true, 0}}, ROOT},
         PASSED},
    };
    for (const Row& row : rows) {
        const Chain chain(row.links);
        EXPECT_EQ(link_refusal(chain.context()), row.expected) << row.what;
    }
}

TEST(LinkRefusal, AChainWithoutLinksIsRefused) {
    CERT_CHAIN_CONTEXT empty{};
    empty.cbSize = sizeof empty;
    EXPECT_EQ(link_refusal(empty), static_cast<std::uint32_t>(CERT_E_CHAINING));
}

// One attribute of a name: its type, how its value is encoded, and the value.
struct Attribute {
    const char* oid;
    DWORD encoding;
    std::wstring_view value;  // may hold null characters
};

// A name: its relative names in order, each with its attributes.
using Name = std::vector<std::vector<Attribute>>;

std::vector<BYTE> encode_name(const Name& name) {
    std::vector<std::vector<CERT_RDN_ATTR>> attributes;
    for (const std::vector<Attribute>& part : name) {
        auto& encoded = attributes.emplace_back();
        for (const Attribute& attribute : part) {
            CERT_RDN_ATTR value{};
            value.pszObjId = const_cast<LPSTR>(attribute.oid);
            value.dwValueType = attribute.encoding;
            value.Value.cbData = static_cast<DWORD>(attribute.value.size() * sizeof(wchar_t));
            value.Value.pbData =
                reinterpret_cast<BYTE*>(const_cast<wchar_t*>(attribute.value.data()));
            encoded.push_back(value);
        }
    }
    std::vector<CERT_RDN> parts;
    for (std::vector<CERT_RDN_ATTR>& part : attributes) {
        parts.push_back({static_cast<DWORD>(part.size()), part.data()});
    }
    CERT_NAME_INFO info{static_cast<DWORD>(parts.size()), parts.data()};
    return encode(X509_UNICODE_NAME, &info);
}

constexpr DWORD PRINTABLE = CERT_RDN_PRINTABLE_STRING;
constexpr DWORD UTF8 = CERT_RDN_UTF8_STRING;
constexpr DWORD BMP = CERT_RDN_BMP_STRING;
constexpr DWORD TELETEX = CERT_RDN_TELETEX_STRING;
constexpr DWORD IA5 = CERT_RDN_IA5_STRING;

const Attribute COUNTRY{szOID_COUNTRY_NAME, PRINTABLE, L"CN"};
const Attribute STATE{szOID_STATE_OR_PROVINCE_NAME, UTF8, L"Shanghai"};
const Attribute LOCALITY{szOID_LOCALITY_NAME, UTF8, L"上海"};
const Attribute ORGANISATION{szOID_ORGANIZATION_NAME, UTF8, L"Xinglan Test Co., Ltd."};
const Attribute COMMON_NAME{szOID_COMMON_NAME, UTF8, L"星岚测试 Publisher"};
// The publisher's subject as the build pins it.
const Name PINNED{{COUNTRY}, {STATE}, {LOCALITY}, {ORGANISATION}, {COMMON_NAME}};

struct NameRow {
    const char* what;
    Name signer;
    bool same;
};

TEST(SameName, TheWholeNameInOrderWhateverStringEncodingTheCaChose) {
    const NameRow rows[] = {
        {"the pinned subject itself", PINNED, true},
        {"a country as a UTF-8 string, not a printable one",
         {{{szOID_COUNTRY_NAME, UTF8, L"CN"}}, {STATE}, {LOCALITY}, {ORGANISATION}, {COMMON_NAME}},
         true},
        {"every string as a BMP string",
         {{{szOID_COUNTRY_NAME, BMP, L"CN"}},
          {{szOID_STATE_OR_PROVINCE_NAME, BMP, L"Shanghai"}},
          {{szOID_LOCALITY_NAME, BMP, LOCALITY.value}},
          {{szOID_ORGANIZATION_NAME, BMP, ORGANISATION.value}},
          {{szOID_COMMON_NAME, BMP, COMMON_NAME.value}}},
         true},
        {"the common name alone", {{COMMON_NAME}}, false},
        {"the common name, another organisation and country",
         {{{szOID_COUNTRY_NAME, PRINTABLE, L"ZZ"}},
          {{szOID_ORGANIZATION_NAME, UTF8, L"Impostor Holdings"}},
          {COMMON_NAME}},
         false},
        {"one attribute more",
         {{COUNTRY},
          {STATE},
          {LOCALITY},
          {ORGANISATION},
          {{szOID_ORGANIZATIONAL_UNIT_NAME, UTF8, L"Engineering"}},
          {COMMON_NAME}},
         false},
        {"one attribute more, as a last relative name",
         {{COUNTRY},
          {STATE},
          {LOCALITY},
          {ORGANISATION},
          {COMMON_NAME},
          {{szOID_ORGANIZATIONAL_UNIT_NAME, UTF8, L"Engineering"}}},
         false},
        {"one attribute less", {{COUNTRY}, {STATE}, {ORGANISATION}, {COMMON_NAME}}, false},
        {"another state",
         {{COUNTRY},
          {{szOID_STATE_OR_PROVINCE_NAME, UTF8, L"Delaware"}},
          {LOCALITY},
          {ORGANISATION},
          {COMMON_NAME}},
         false},
        {"the same attributes in another order",
         {{COMMON_NAME}, {ORGANISATION}, {LOCALITY}, {STATE}, {COUNTRY}},
         false},
        {"an organisation in other case",
         {{COUNTRY},
          {STATE},
          {LOCALITY},
          {{szOID_ORGANIZATION_NAME, UTF8, L"XINGLAN TEST CO., LTD."}},
          {COMMON_NAME}},
         false},
        {"a common name with a space more",
         {{COUNTRY},
          {STATE},
          {LOCALITY},
          {ORGANISATION},
          {{szOID_COMMON_NAME, UTF8, L"星岚测试  Publisher"}}},
         false},
        {"the organisation and the common name in one relative name",
         {{COUNTRY}, {STATE}, {LOCALITY}, {ORGANISATION, COMMON_NAME}},
         false},
        // A null character is no terminator inside an encoded value: O = "…\0" is another name
        // than O = "…", whatever the platform's decoding makes of it, and so is one inside.
        {"the organisation as a BMP string that ends with a null character",
         {{COUNTRY},
          {STATE},
          {LOCALITY},
          {{szOID_ORGANIZATION_NAME, BMP, L"Xinglan Test Co., Ltd.\0"sv}},
          {COMMON_NAME}},
         false},
        {"the organisation as a UTF-8 string that ends with a null character",
         {{COUNTRY},
          {STATE},
          {LOCALITY},
          {{szOID_ORGANIZATION_NAME, UTF8, L"Xinglan Test Co., Ltd.\0"sv}},
          {COMMON_NAME}},
         false},
        {"a null character inside the common name, after the publisher's",
         {{COUNTRY},
          {STATE},
          {LOCALITY},
          {ORGANISATION},
          {{szOID_COMMON_NAME, UTF8, L"星岚测试 Publisher\0 Ltd"sv}}},
         false},
        {"a null character inside the state, after the publisher's, as a teletex string",
         {{COUNTRY},
          {{szOID_STATE_OR_PROVINCE_NAME, TELETEX, L"Shanghai\0, Delaware"sv}},
          {LOCALITY},
          {ORGANISATION},
          {COMMON_NAME}},
         false},
        {"an e-mail address in place of the common name, same text",
         {{COUNTRY},
          {STATE},
          {LOCALITY},
          {ORGANISATION},
          {{szOID_RSA_emailAddr, IA5, L"Publisher"}}},
         false},
    };
    const std::vector<BYTE> pinned = encode_name(PINNED);
    const CERT_NAME_BLOB pinned_blob{static_cast<DWORD>(pinned.size()),
                                     const_cast<BYTE*>(pinned.data())};
    for (const NameRow& row : rows) {
        const std::vector<BYTE> signer = encode_name(row.signer);
        const CERT_NAME_BLOB signer_blob{static_cast<DWORD>(signer.size()),
                                         const_cast<BYTE*>(signer.data())};
        EXPECT_EQ(same_name(pinned_blob, signer_blob), row.same) << row.what;
        EXPECT_EQ(same_name(signer_blob, pinned_blob), row.same) << row.what << ", the other way";
    }
}

TEST(SameName, ANameThePlatformCannotDecodeIsNobodys) {
    std::vector<BYTE> garbled = {0x30, 0x03, 0x06};  // a truncated sequence
    const CERT_NAME_BLOB blob{static_cast<DWORD>(garbled.size()), garbled.data()};
    EXPECT_FALSE(same_name(blob, blob));
}

// A self-signed certificate with the subject `name` (X.500 text, most general first), made by the
// platform.
CertificateHandle self_signed(const wchar_t* name) {
    DWORD size = 0;
    CertStrToNameW(X509_ASN_ENCODING, name, CERT_X500_NAME_STR, nullptr, nullptr, &size, nullptr);
    std::vector<BYTE> encoded(size);
    EXPECT_TRUE(CertStrToNameW(X509_ASN_ENCODING, name, CERT_X500_NAME_STR, nullptr, encoded.data(),
                               &size, nullptr));
    CERT_NAME_BLOB subject{size, encoded.data()};
    return CertificateHandle(
        CertCreateSelfSignCertificate(0, &subject, 0, nullptr, nullptr, nullptr, nullptr, nullptr));
}

std::string_view der(const CertificateHandle& certificate) {
    return {reinterpret_cast<const char*>(certificate.get()->pbCertEncoded),
            certificate.get()->cbCertEncoded};
}

TEST(SignerMismatch, AnyOneOfThePinnedSubjectsPasses) {
    const CertificateHandle current(
        self_signed(L"C=CN, O=星岚测试有限公司, CN=星岚测试 Publisher"));
    const CertificateHandle next(
        self_signed(L"C=CN, O=Xinglan Test Co. Ltd, CN=星岚测试 Publisher"));
    const CertificateHandle other(self_signed(L"C=ZZ, O=Impostor Holdings, CN=星岚测试 Publisher"));
    ASSERT_TRUE(current.valid() && next.valid() && other.valid());
    const std::string_view pins[] = {der(current), der(next)};
    const InstallerSigner publisher{"星岚测试 Publisher", pins};
    EXPECT_EQ(signer_mismatch(current.get(), publisher), std::nullopt);
    EXPECT_EQ(signer_mismatch(next.get(), publisher), std::nullopt);
    const auto refusal = signer_mismatch(other.get(), publisher);
    ASSERT_TRUE(refusal.has_value());
    EXPECT_NE(refusal->find("O=Impostor Holdings"), std::string::npos) << *refusal;
    // With the first pin alone, the next subject is someone else's.
    const InstallerSigner first_alone{"星岚测试 Publisher", std::span(pins, 1)};
    EXPECT_TRUE(signer_mismatch(next.get(), first_alone).has_value());
}

}  // namespace
}  // namespace vorn

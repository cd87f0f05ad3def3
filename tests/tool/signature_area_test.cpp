// The signature area of a configuration area: where it lies, what it
// accepts, and the armored text of the signature it keeps.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "format/launcher_config.h"
#include "tool/config_area.h"
#include "tool/signature_area.h"
#include "tool/ssh_signature.h"
#include "tool/tool_error.h"

namespace onefile::testing {
namespace {

// Spelled out as numbers: launchers made so far hold zero in these places,
// and the digest leaves the signature area out by its place.
inline constexpr std::size_t kReclaimAt = 4100;
inline constexpr std::size_t kFirstRunMessageAt = 4160;
inline constexpr std::size_t kSignatureAreaAt = 4672;

void appendString(std::vector<unsigned char>& out, const std::string& text) {
    const auto length = static_cast<std::uint32_t>(text.size());
    for (const int shift : {24, 16, 8, 0}) out.push_back(static_cast<unsigned char>(length >> shift));
    out.insert(out.end(), text.begin(), text.end());
}

// An SSH signature's blob in the shape ssh-keygen makes, its key and
// signature bytes made up.
std::vector<unsigned char> sampleBlob(const std::string& nameSpace = "onefile") {
    std::vector<unsigned char> key;
    appendString(key, "ssh-ed25519");
    appendString(key, std::string(32, 'k'));
    std::vector<unsigned char> signature;
    appendString(signature, "ssh-ed25519");
    appendString(signature, std::string(64, 's'));
    std::vector<unsigned char> blob{'S', 'S', 'H', 'S', 'I', 'G', 0, 0, 0, 1};
    appendString(blob, std::string(key.begin(), key.end()));
    appendString(blob, nameSpace);
    appendString(blob, "");
    appendString(blob, "sha512");
    appendString(blob, std::string(signature.begin(), signature.end()));
    return blob;
}

std::vector<unsigned char> areaHolding(const std::vector<unsigned char>& signatureArea) {
    tool::LauncherSettings settings;
    std::vector<unsigned char> area = tool::makeConfigArea(settings);
    std::copy(signatureArea.begin(), signatureArea.end(), area.begin() + kSignatureAreaAt);
    return area;
}

TEST(SignatureAreaTest, FieldsLieWhereLaunchersKeepThem) {
    EXPECT_EQ(offsetof(LauncherConfig, reclaimMode), kReclaimAt);
    EXPECT_EQ(offsetof(LauncherConfig, firstRunMessage), kFirstRunMessageAt);
    EXPECT_EQ(tool::kSignatureAreaOffset, kSignatureAreaAt);
    EXPECT_EQ(kSignatureAreaAt + kSignatureAreaBytes, kLauncherConfigBytes);
    EXPECT_EQ(kFirstRunMessageBytes, 512u);
}

TEST(SignatureAreaTest, KeepsASignatureAndReadsItBack) {
    const std::vector<unsigned char> blob = sampleBlob();
    const std::vector<unsigned char> area = areaHolding(tool::makeSignatureArea(blob));
    EXPECT_EQ(area[kSignatureAreaAt], blob.size());  // the u64 length, little-endian
    const std::optional<tool::SshSignature> read = tool::readSignatureArea(area);
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->blob, blob);
    EXPECT_EQ(read->keyType, "ssh-ed25519");
    EXPECT_EQ(read->signatureNamespace, "onefile");
    EXPECT_EQ(read->hashAlgorithm, "sha512");
    // The unsigned area of a launcher made by any onefile so far, and the
    // first layout, which has none.
    EXPECT_FALSE(tool::readSignatureArea(areaHolding({})).has_value());
    tool::LauncherSettings first;
    first.layout = tool::ConfigLayout::first;
    std::vector<unsigned char> firstArea = tool::makeConfigArea(first);
    firstArea.resize(kLauncherConfigBytes, 0xee);  // the block's bytes
    EXPECT_FALSE(tool::readSignatureArea(firstArea).has_value());
}

TEST(SignatureAreaTest, RefusesWhatIsNotOneSignature) {
    const std::vector<unsigned char> blob = sampleBlob();
    auto withLength = [](std::uint64_t length, const std::vector<unsigned char>& content) {
        std::vector<unsigned char> area(kSignatureLengthBytes + content.size());
        for (std::size_t i = 0; i < kSignatureLengthBytes; ++i) area[i] = static_cast<unsigned char>(length >> (8 * i));
        std::copy(content.begin(), content.end(), area.begin() + kSignatureLengthBytes);
        return area;
    };
    std::vector<unsigned char> trailing = withLength(blob.size(), blob);
    trailing.push_back(1);
    std::vector<unsigned char> wrongVersion = blob;
    wrongVersion[9] = 2;
    const struct {
        const char* what;
        std::vector<unsigned char> area;
        const char* message;
    } cases[] = {
        {"cut short", withLength(blob.size() - 1, {blob.begin(), blob.end() - 1}), "ends inside a field"},
        {"longer than its fields", withLength(blob.size() + 1, blob), "bytes after its last field"},
        {"a length past the area", withLength(kSignatureBytes + 1, blob), "more than its 3512"},
        {"the largest length", withLength(UINT64_MAX, {}), "more than its 3512"},
        {"bytes after the signature", trailing, "holds bytes after its signature"},
        {"no signature magic", withLength(4, {'S', 'S', 'H', 'X'}), "ends inside a field"},
        {"garbage", withLength(16, std::vector<unsigned char>(16, 0xff)), "does not start with SSHSIG"},
        {"another version", withLength(wrongVersion.size(), wrongVersion), "version 2"},
    };
    for (const auto& example : cases) {
        SCOPED_TRACE(example.what);
        try {
            (void)tool::readSignatureArea(areaHolding(example.area));
            ADD_FAILURE() << "accepted";
        } catch (const tool::FormatError& error) {
            EXPECT_NE(std::string(error.what()).find(example.message), std::string::npos) << error.what();
        }
    }
    EXPECT_THROW(tool::makeSignatureArea(std::vector<unsigned char>(kSignatureBytes + 1, 1)), tool::FormatError);
    EXPECT_NO_THROW(tool::makeSignatureArea(std::vector<unsigned char>(kSignatureBytes, 1)));
}

// ssh-keygen's armor: base64 in lines of 70 characters, each ended by a
// newline; read back through any line breaks.
TEST(SignatureAreaTest, ArmorsAsSshKeygenDoes) {
    const std::vector<unsigned char> blob = sampleBlob();
    const std::string text = tool::armorSshSignature(blob);
    EXPECT_EQ(text.rfind("-----BEGIN SSH SIGNATURE-----\nU1NIU0lH", 0), 0u);
    EXPECT_EQ(text.substr(text.size() - 28), "-----END SSH SIGNATURE-----\n");
    const std::size_t firstLine = text.find('\n') + 1;
    EXPECT_EQ(text.find('\n', firstLine) - firstLine, 70u);
    EXPECT_EQ(tool::dearmorSshSignature(text), blob);
    EXPECT_THROW(tool::dearmorSshSignature("-----BEGIN SSH SIGNATURE-----\n!!!\n-----END SSH SIGNATURE-----\n"),
                 tool::FormatError);
    EXPECT_THROW(tool::dearmorSshSignature("no armor"), tool::FormatError);
}

}  // namespace
}  // namespace onefile::testing

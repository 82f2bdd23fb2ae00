#include "app/self_test.h"

#include "agent/mount_guard_uuid.h"
#include "app/prompt_suppression.h"
#include "commands/receipt.h"
#include "commands/recovery_key.h"
#include "common/constants.h"
#include "common/errors.h"
#include "common/on_failure.h"
#include "crypto/base64url.h"
#include "crypto/password_wrap.h"
#include "crypto/random.h"
#include "disk/disk_identity.h"
#include "disk/volume_name.h"
#include "platform/platform.h"

#include <algorithm>
#include <exception>
#include <string>
#include <vector>

namespace ferrolatch {

namespace {

[[noreturn]] void fail(const char* message) { throw ProofError(message); }

struct Material {
    SecretBytes salt = randomBytes(prfSaltSize);
    SecretBytes prfOutput = randomBytes(32);
    SecretBytes plaintext = base64URLEncodeSecret(randomBytes(32).bytes());
    std::string credential = base64URLEncode(randomBytes(32).bytes());
};

std::vector<std::uint8_t> seal(const SecretBytes& plaintext, const SecretBytes& key,
                               std::span<const std::uint8_t> associatedData)
{
    std::vector<std::uint8_t> combined = sealPassword(plaintext.bytes(), key, associatedData);
    if (combined.size() < sealNonceSize + sealTagSize)
        fail("AES-GCM did not produce a combined sealed box");
    return combined;
}

// Opening must fail, and fail in the cipher: anything else is a different fault.
void expectRefusedOpen(const SelfTestServices& services, std::span<const std::uint8_t> combined, const SecretBytes& key,
                       std::span<const std::uint8_t> associatedData, const char* acceptedMessage)
{
    try {
        services.openPassword(combined, key, associatedData);
    } catch (const PlatformError& error) {
        if (error.domain() == cryptoKitErrorDomain)
            return;
        throw;
    }
    fail(acceptedMessage);
}

void checkPasswordWrap(const SelfTestServices& services)
{
    Material material;
    std::vector<std::uint8_t> browserData = wrapAssociatedData(localRelyingPartyID, material.credential);
    std::vector<std::uint8_t> browserBox =
        seal(material.plaintext, deriveWrappingKey(material.prfOutput, material.salt.bytes()), browserData);
    SecretBytes opened = services.openPassword(browserBox, deriveWrappingKey(material.prfOutput, material.salt.bytes()),
                                               wrapAssociatedData(localRelyingPartyID, material.credential));
    if (!opened.equals(material.plaintext.bytes()))
        fail("cryptographic self-test did not round-trip");

    SecretBytes wrongOutput = material.prfOutput.clone();
    wrongOutput.data()[0] ^= 0x01;
    expectRefusedOpen(services, browserBox, deriveWrappingKey(wrongOutput, material.salt.bytes()), browserData,
                      "cryptographic self-test accepted the wrong PRF output");

    SecretBytes key = deriveWrappingKey(material.prfOutput, material.salt.bytes());
    std::vector<std::uint8_t> nativeData = wrapAssociatedData(relyingPartyDomain, material.credential);
    std::vector<std::uint8_t> nativeBox = seal(material.plaintext, key, nativeData);
    if (!services.openPassword(nativeBox, key, nativeData).equals(material.plaintext.bytes()))
        fail("native relying-party self-test did not round-trip");

    expectRefusedOpen(services, nativeBox, key, wrapAssociatedData(localRelyingPartyID, material.credential),
                      "cryptographic self-test accepted the wrong relying party");
}

void checkDiskIdentity()
{
    PlistValue::Dictionary identity {
        {"DeviceIdentifier", "disk99"},
        {"DeviceNode", "/dev/disk99"},
        {"ParentWholeDisk", "disk99"},
        {"WholeDisk", true},
        {"Internal", false},
        {"RemovableMediaOrExternalDevice", true},
        {"VirtualOrPhysical", "Physical"},
        {"Writable", true},
        {"WritableMedia", true},
        {"SystemImage", false},
        {"MediaName", "Ferrolatch fixture"},
        {"BusProtocol", "USB"},
        {"DeviceTreePath", "fixture:/external/usb"},
        {"TotalSize", std::int64_t {134'217'728}},
    };
    if (validateDiskIdentity(identity, "disk99").confirmationToken
        != validateDiskIdentity(identity, "disk99").confirmationToken)
        fail("drive confirmation token was not deterministic");

    identity.insert_or_assign("Internal", true);
    try {
        validateDiskIdentity(identity, "disk99");
    } catch (const ProofError& error) {
        if (std::string_view(error.what()) == "refusing an internal disk")
            return;
        throw;
    }
    fail("drive inspection accepted an internal disk");
}

void checkVolumeNames(const SelfTestServices& services)
{
    services.validateVolumeName("CODE-BACKUPS");
    try {
        services.validateVolumeName("unsafe/name");
    } catch (const ProofError& error) {
        if (std::string_view(error.what()).find("data volume name") != std::string_view::npos)
            return;
        throw;
    }
    fail("volume-name validation accepted a path separator");
}

void checkUUIDNormalizer()
{
    constexpr std::string_view text = "8B305870-F684-4DEA-BA71-8DD6A6AA608C";
    std::optional<disk_uuid::CFUUID> uuid = createCFUUIDFromString(text);
    if (!uuid || normalizedVolumeUUID(*uuid) != std::optional<std::string>(text))
        fail("Disk Arbitration CFUUID normalization self-test failed");
}

void checkPreferenceMerge()
{
    PreferenceValue::Dictionary settings {{"PreservedKey", "preserved-value"}};
    markSuppressed(settings);
    auto textOf = [&](std::string_view key) -> const std::string* {
        auto entry = settings.find(key);
        return entry == settings.end() ? nullptr : entry->second.string();
    };
    const std::string* preserved = textOf("PreservedKey");
    const std::string* marker = textOf(apfsUserAgentPreferenceValue);
    if (!preserved || *preserved != "preserved-value" || !marker || *marker != apfsUserAgentSuppressUntil)
        fail("APFS prompt suppression preference self-test failed");
}

void checkRecoveryGrouping()
{
    constexpr std::string_view key = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefg";
    SecretBytes grouped = groupedRecoveryKey(SecretBytes::copyOf(key));
    std::string withoutSpaces;
    for (std::uint8_t byte : grouped.bytes())
        if (byte != ' ')
            withoutSpaces += static_cast<char>(byte);
    if (withoutSpaces != key || !grouped.equals("0123 4567 89AB CDEF GHIJ KLMN OPQR STUV WXYZ abcd efg"))
        fail("offline recovery-key grouping self-test failed");
}

std::string newUUIDText()
{
    SecretBytes random = randomBytes(16);
    std::uint8_t* bytes = random.data();
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0f) | 0x40); // version 4
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3f) | 0x80); // RFC 4122 variant
    disk_uuid::Value uuid;
    std::copy(bytes, bytes + 16, uuid.bytes.begin());
    return *normalizedVolumeUUID(uuid);
}

// Links are removed, never followed.
void removeTree(Files& files, const std::string& path)
{
    std::optional<FileAttributes> attributes = files.attributes(path);
    if (!attributes)
        return;
    if (attributes->type == FileAttributes::Type::Directory)
        for (const std::string& name : files.listDirectory(path))
            removeTree(files, path + "/" + name);
    files.removeFile(path);
}

void checkReceipt(Files& files, const std::string& directory)
{
    files.createDirectory(directory + "/nested", 0700);
    std::string proof = directory + "/nested/proof.txt";
    std::string receipt = directory + "/receipt.sha256";
    files.writeFileAtomically(proof, "Ferrolatch receipt proof\n");
    files.writeFileAtomically(receipt, sha256OfFile(files, proof) + " *./nested/proof.txt\n");
    if (verifyReceipt(files, receipt, directory) != ReceiptTotals {1, 25})
        fail("receipt self-test returned incorrect totals");

    files.writeFileAtomically(proof, "corrupt\n");
    try {
        verifyReceipt(files, receipt, directory);
    } catch (const ProofError& error) {
        if (std::string_view(error.what()).find("SHA-256 mismatch") != std::string_view::npos)
            return;
        throw;
    }
    fail("receipt self-test accepted corrupted data");
}

void checkReceiptInTemporaryDirectory(Files& files, Paths& paths)
{
    std::string directory = paths.temporaryDirectory() + "/ferrolatch-receipt-" + newUUIDText();
    // A folder that cannot be removed is left for the system's own cleanup.
    auto remove = atScopeExit([&] { removeTree(files, directory); });
    checkReceipt(files, directory);
}

}

SelfTestServices selfTestServices(Files& files, Paths& paths, std::ostream& out)
{
    return {files, paths, out,
            [](std::span<const std::uint8_t> combined, const SecretBytes& key, std::span<const std::uint8_t> data) {
                return openPassword(combined, key, data);
            },
            [](std::string_view name) { validateVolumeName(name); }};
}

void runSelfTest(const SelfTestServices& services)
{
    checkPasswordWrap(services);
    checkDiskIdentity();
    checkVolumeNames(services);
    checkUUIDNormalizer();
    checkPreferenceMerge();
    if (!apfsPromptSuppressionCapable(services.files, services.paths))
        fail("this macOS build lacks Ferrolatch's APFS prompt suppression capability");
    checkRecoveryGrouping();
    checkReceiptInTemporaryDirectory(services.files, services.paths);
    services.out << "CRYPTOGRAPHIC SELF-TEST PASSED\n";
}

void selfTestCommand(Platform& platform, const CommandArguments&)
{
    runSelfTest(selfTestServices(platform.files, platform.paths, platform.out));
}

}

#include "crypto/manifest.h"

#include "crypto/manifest_rules.h"
#include "common/constants.h"
#include "tests/support/file_map.h"
#include "tests/support/expectations.h"

using namespace ferrolatch;
using namespace ferrolatch::testing;

namespace {

Manifest requiredOnly()
{
    Manifest m;
    m.version = 1;
    m.relyingPartyID = "localhost";
    m.credentialID = "Y3JlZGVudGlhbA";
    m.prfSalt = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8";
    m.wrappedPassword = "c2VhbGVk";
    m.createdAt = "2026-01-31T09:15:00Z";
    return m;
}

Manifest allFields()
{
    Manifest m = requiredOnly();
    m.relyingPartyID = "ferrolatch.example";
    m.resourceKind = "native-sparsebundle";
    m.volumeUUID = "0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9";
    m.volumeName = "Caf\xC3\xA9 Data/2026";
    m.imageName = "Proof.sparsebundle";
    return m;
}

const char* const allFieldsJSON = "{\n"
                                  "  \"createdAt\" : \"2026-01-31T09:15:00Z\",\n"
                                  "  \"credentialID\" : \"Y3JlZGVudGlhbA\",\n"
                                  "  \"imageName\" : \"Proof.sparsebundle\",\n"
                                  "  \"prfSalt\" : \"AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8\",\n"
                                  "  \"relyingPartyID\" : \"ferrolatch.example\",\n"
                                  "  \"resourceKind\" : \"native-sparsebundle\",\n"
                                  "  \"version\" : 1,\n"
                                  "  \"volumeName\" : \"Caf\xC3\xA9 Data/2026\",\n"
                                  "  \"volumeUUID\" : \"0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9\",\n"
                                  "  \"wrappedPassword\" : \"c2VhbGVk\"\n"
                                  "}";

const char* const requiredOnlyJSON = "{\n"
                                     "  \"createdAt\" : \"2026-01-31T09:15:00Z\",\n"
                                     "  \"credentialID\" : \"Y3JlZGVudGlhbA\",\n"
                                     "  \"prfSalt\" : \"AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8\",\n"
                                     "  \"relyingPartyID\" : \"localhost\",\n"
                                     "  \"version\" : 1,\n"
                                     "  \"wrappedPassword\" : \"c2VhbGVk\"\n"
                                     "}";

}

TEST(ManifestEncoding, WritesSortedPrettyJSONWithoutAbsentFields)
{
    EXPECT_EQ(encodeManifest(allFields()), allFieldsJSON);
    EXPECT_EQ(encodeManifest(requiredOnly()), requiredOnlyJSON);
}

TEST(ManifestEncoding, RoundTripsToTheSameBytes)
{
    for (const Manifest& manifest : {allFields(), requiredOnly()}) {
        std::string first = encodeManifest(manifest);
        Manifest decoded = decodeManifest(first);
        EXPECT_EQ(decoded, manifest);
        EXPECT_EQ(encodeManifest(decoded), first);
    }
}

TEST(ManifestDecoding, ReadsNullAsAbsentIgnoresOtherKeysAndLooksAtNoContent)
{
    Manifest decoded = decodeManifest(R"({"version": 1.0, "relyingPartyID": "", "credentialID": "*not base64*",
        "prfSalt": "", "wrappedPassword": "", "createdAt": "yesterday", "resourceKind": null,
        "volumeName": null, "imageName": "x", "extra": {"nested": [1, 2]}, "volumeuuid": 5})");
    EXPECT_EQ(decoded.version, 1);
    EXPECT_EQ(decoded.credentialID, "*not base64*");
    EXPECT_EQ(decoded.createdAt, "yesterday");
    EXPECT_FALSE(decoded.resourceKind);
    EXPECT_FALSE(decoded.volumeUUID);
    EXPECT_FALSE(decoded.volumeName);
    EXPECT_EQ(decoded.imageName, "x");
}

TEST(ManifestDecoding, NamesTheMissingOrMistypedKey)
{
    const std::string valid = R"("relyingPartyID": "r", "credentialID": "c", "prfSalt": "p",
        "wrappedPassword": "w", "createdAt": "t")";
    struct Case {
        std::string json;
        long code;
        std::string mentions;
    };
    const Case cases[] = {
        {"not json", manifestReadCorruptCode, "not valid JSON"},
        {"", manifestReadCorruptCode, "not valid JSON"},
        {"{\"version\": 1, " + valid + "} trailing", manifestReadCorruptCode, "not valid JSON"},
        {"[1]", manifestReadCorruptCode, "dictionary"},
        {"{" + valid + "}", manifestValueNotFoundCode, "\"version\""},
        {R"({"version": 1, "relyingPartyID": "r", "prfSalt": "p", "wrappedPassword": "w", "createdAt": "t"})",
         manifestValueNotFoundCode, "\"credentialID\""},
        {R"({"version": 1, "relyingPartyID": "r", "credentialID": "c", "prfSalt": "p", "wrappedPassword": "w",
             "createdAt": null})",
         manifestValueNotFoundCode, "\"createdAt\""},
        {"{\"version\": \"1\", " + valid + "}", manifestReadCorruptCode, "\"version\""},
        {"{\"version\": 1.5, " + valid + "}", manifestReadCorruptCode, "\"version\""},
        {"{\"version\": true, " + valid + "}", manifestReadCorruptCode, "\"version\""},
        {"{\"version\": 1e30, " + valid + "}", manifestReadCorruptCode, "\"version\""},
        {"{\"version\": 9223372036854775808, " + valid + "}", manifestReadCorruptCode, "\"version\""},
        {"{\"version\": 18446744073709551615, " + valid + "}", manifestReadCorruptCode, "\"version\""},
        {R"({"version": 1, "relyingPartyID": 7, "credentialID": "c", "prfSalt": "p", "wrappedPassword": "w",
             "createdAt": "t"})",
         manifestReadCorruptCode, "\"relyingPartyID\""},
        {"{\"version\": 1, \"volumeName\": [\"x\"], " + valid + "}", manifestReadCorruptCode, "\"volumeName\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        PlatformError error =
            expectPlatformError([&] { decodeManifest(c.json); }, manifestDecodeErrorDomain, c.code);
        EXPECT_NE(std::string(error.what()).find(c.mentions), std::string::npos) << error.what();
    }
}

TEST(ManifestFile, ReadsWritesAndRefusesToReplace)
{
    FileMap files;
    const std::string path = "/Volumes/FERROLATCH/ferrolatch.json";
    ensureManifestPathFree(files, path);
    writeManifest(files, allFields(), path);
    EXPECT_EQ(files.atomicWrites, 1);
    EXPECT_EQ(files.files[path], allFieldsJSON);
    EXPECT_EQ(readManifest(files, path), allFields());
    expectProofError([&] { ensureManifestPathFree(files, path); },
                     "refusing to replace existing manifest at /Volumes/FERROLATCH/ferrolatch.json");

    writeManifest(files, requiredOnly(), path); // the one sanctioned rewrite replaces
    EXPECT_EQ(files.files[path], requiredOnlyJSON);
    // An enrollment's first write refuses a file that appeared after its check.
    expectProofError([&] { writeNewManifest(files, allFields(), path); },
                     "refusing to replace existing manifest at /Volumes/FERROLATCH/ferrolatch.json");
    EXPECT_EQ(files.files[path], requiredOnlyJSON);
    writeNewManifest(files, allFields(), "/new.json");
    EXPECT_EQ(files.files["/new.json"], allFieldsJSON);
    expectPlatformError([&] { readManifest(files, "/missing.json"); }, posixErrorDomain, ENOENT);
    files.files["/broken.json"] = "{";
    expectPlatformError([&] { readManifest(files, "/broken.json"); }, manifestDecodeErrorDomain,
                        manifestReadCorruptCode);
}

TEST(ManifestTimestamp, IsUTCWithWholeSeconds)
{
    using namespace std::chrono;
    const std::pair<system_clock::time_point, const char*> cases[] = {
        {system_clock::time_point {}, "1970-01-01T00:00:00Z"},
        {sys_days {2026y / January / 31} + 9h + 15min + 999ms, "2026-01-31T09:15:00Z"},
        {sys_days {2024y / February / 29} + 23h + 59min + 59s, "2024-02-29T23:59:59Z"},
        {system_clock::time_point {} - 1s, "1969-12-31T23:59:59Z"},
    };
    for (const auto& [time, text] : cases)
        EXPECT_EQ(manifestTimestamp(time), text);
}

namespace {

Manifest withKind(const char* relyingParty, std::optional<std::string> kind)
{
    Manifest m = requiredOnly();
    m.relyingPartyID = relyingParty;
    m.resourceKind = std::move(kind);
    m.volumeUUID = "0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9";
    m.volumeName = "Data";
    return m;
}

const std::string domain(relyingPartyDomain);

struct Reader {
    const char* name;
    Manifest (*accept)(Manifest);
    Manifest valid;
    const char* message;
};

std::vector<Reader> readers()
{
    Manifest bundle = withKind(domain.c_str(), "native-sparsebundle");
    bundle.imageName = "Proof.sparsebundle";
    return {
        {"native volume", acceptNativeVolumeManifest, withKind(domain.c_str(), "native-apfs-volume"),
         "manifest does not identify a native Ferrolatch APFS volume"},
        {"browser volume", acceptBrowserVolumeManifest, withKind("localhost", "apfs-volume"),
         "manifest does not identify a supported APFS volume"},
        {"browser recovery", acceptBrowserRecoveryManifest, withKind("localhost", "apfs-volume"),
         "manifest does not identify a supported APFS volume"},
        {"native image", acceptNativeImageManifest, withKind(domain.c_str(), "native-disk-image"),
         "manifest does not identify a native Ferrolatch image proof"},
        {"native sparsebundle", acceptNativeSparsebundleManifest, bundle,
         "manifest does not identify a native Ferrolatch sparsebundle"},
        {"browser image", acceptBrowserImageManifest, withKind("localhost", "disk-image"),
         "unsupported Ferrolatch proof manifest"},
        {"native credential", acceptNativeCredentialManifest, withKind(domain.c_str(), "native-disk-image"),
         "credential manifest is not a native Ferrolatch manifest"},
        {"browser credential", acceptBrowserCredentialManifest, withKind("localhost", "disk-image"),
         "unsupported credential source manifest"},
        {"registry", acceptRegistrableManifest, withKind(domain.c_str(), "native-apfs-volume"),
         "refusing to register an invalid Ferrolatch volume manifest"},
    };
}

const Reader& reader(const char* name)
{
    static const std::vector<Reader> all = readers();
    for (const auto& r : all)
        if (std::string_view(r.name) == name)
            return r;
    throw std::logic_error(name);
}

}

TEST(ManifestAcceptance, EveryReaderAcceptsItsKindAndRefusesAnotherVersion)
{
    for (const Reader& r : readers()) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(r.accept(r.valid), r.valid);
        for (std::int64_t version : {0, 2, -1}) {
            Manifest other = r.valid;
            other.version = version;
            expectProofError([&] { r.accept(other); }, r.message);
        }
    }
}

TEST(ManifestAcceptance, AppliesEachReadersRule)
{
    struct Case {
        const char* reader;
        const char* change;
        std::function<void(Manifest&)> alter;
        bool accepted;
    };
    auto relyingParty = [](const char* value) { return [=](Manifest& m) { m.relyingPartyID = value; }; };
    auto kind = [](std::optional<std::string> value) { return [=](Manifest& m) { m.resourceKind = value; }; };
    auto image = [](std::optional<std::string> value) { return [=](Manifest& m) { m.imageName = value; }; };
    auto uuid = [](std::optional<std::string> value) { return [=](Manifest& m) { m.volumeUUID = value; }; };
    auto noName = [](Manifest& m) { m.volumeName.reset(); };
    const Case cases[] = {
        {"native volume", "localhost", relyingParty("localhost"), false},
        {"native volume", "domain in upper case", [](Manifest& m) { m.relyingPartyID = "FERROLATCH.EXAMPLE"; }, false},
        {"native volume", "pending kind", kind("native-apfs-volume-pending"), false},
        {"native volume", "kind in other case", kind("Native-APFS-Volume"), false},
        {"native volume", "no kind", kind(std::nullopt), false},
        {"native volume", "no volume name", noName, false},
        {"native volume", "no volume UUID", uuid(std::nullopt), false},
        {"native volume", "UUID form not examined", uuid("not-a-uuid"), true},
        {"browser volume", "relying-party domain", relyingParty(domain.c_str()), false},
        {"browser volume", "no volume name needed", noName, true},
        {"browser volume", "no volume UUID", uuid(std::nullopt), false},
        {"browser volume", "native kind", kind("native-apfs-volume"), false},
        {"browser recovery", "no volume name", noName, false},
        {"native image", "sparsebundle kind", kind("native-sparsebundle"), false},
        {"native image", "localhost", relyingParty("localhost"), false},
        {"native sparsebundle", "directory part", image("dir/Proof.sparsebundle"), false},
        {"native sparsebundle", "trailing slash", image("Proof.sparsebundle/"), false},
        {"native sparsebundle", "other extension", image("Proof.dmg"), false},
        {"native sparsebundle", "upper-case extension", image("Proof.SPARSEBUNDLE"), true},
        {"native sparsebundle", "empty name", image(""), false},
        {"native sparsebundle", "no image name", image(std::nullopt), false},
        {"native sparsebundle", "no volume name", noName, false},
        {"native sparsebundle", "image kind", kind("native-disk-image"), false},
        {"browser image", "any kind", kind("apfs-volume"), true},
        {"browser image", "no kind", kind(std::nullopt), true},
        {"browser image", "relying-party domain", relyingParty(domain.c_str()), false},
        {"native credential", "any native kind", kind("native-apfs-volume-pending"), true},
        {"native credential", "no kind", kind(std::nullopt), true},
        {"native credential", "localhost", relyingParty("localhost"), false},
        {"browser credential", "any kind", kind("apfs-volume"), true},
        {"browser credential", "relying-party domain", relyingParty(domain.c_str()), false},
        {"registry", "no volume name needed", noName, true},
        {"registry", "lower-case UUID", uuid("0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9"), true},
        {"registry", "not a UUID", uuid("not-a-uuid"), false},
        {"registry", "UUID in braces", uuid("{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}"), false},
        {"registry", "UUID without hyphens", uuid("0A1B2C3D4E5F60718293A4B5C6D7E8F9"), false},
        {"registry", "no volume UUID", uuid(std::nullopt), false},
        {"registry", "pending kind", kind("native-apfs-volume-pending"), false},
        {"registry", "browser made", [](Manifest& m) { m.relyingPartyID = "localhost"; m.resourceKind = "apfs-volume"; }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.reader) + ": " + c.change);
        const Reader& r = reader(c.reader);
        Manifest manifest = r.valid;
        c.alter(manifest);
        if (c.accepted)
            EXPECT_EQ(r.accept(manifest), manifest);
        else
            expectProofError([&] { r.accept(manifest); }, r.message);
    }
}

TEST(ManifestAcceptance, LoadsNativeVolumeManifestsFromFiles)
{
    FileMap files;
    Manifest valid = reader("native volume").valid;
    files.files["/m.json"] = encodeManifest(valid);
    EXPECT_EQ(loadNativeVolumeManifest(files, "/m.json"), valid);

    // Read straight from JSON: a null volume name and an unknown key.
    std::string text = encodeManifest(valid);
    text.replace(text.find("\"Data\""), 6, "null");
    files.files["/null-name.json"] = text;
    expectProofError([&] { loadNativeVolumeManifest(files, "/null-name.json"); },
                     "manifest does not identify a native Ferrolatch APFS volume");
    text = encodeManifest(valid);
    text.insert(1, "\n  \"futureField\" : {\"a\" : 1},");
    files.files["/extra.json"] = text;
    EXPECT_EQ(loadNativeVolumeManifest(files, "/extra.json"), valid);

    expectPlatformError([&] { loadNativeVolumeManifest(files, "/absent.json"); }, posixErrorDomain, ENOENT);
    EXPECT_TRUE(isRegistrableManifest(valid));
}

TEST(ManifestReading, RefusesAHugeOrDeeplyNestedManifestBeforeDecoding)
{
    FileMap files;
    files.files["/big.json"] = "{\"pad\": \"" + std::string(64 * 1024, 'x') + "\"}";
    files.files["/deep.json"] = std::string(20000, '[') + std::string(20000, ']');
    // 32 levels are still decoded (and then refused for what they hold).
    files.files["/thirty-two.json"] = std::string(32, '[') + std::string(32, ']');
    // Brackets inside strings are text, not nesting.
    files.files["/quoted.json"] = "{\"x\": \"" + std::string(100, '[') + "\\\"[\"}";
    struct Case {
        std::string path;
        std::string error;
    };
    for (const Case& c : {Case {"/big.json", "manifest is larger than 64 KiB"},
                          Case {"/deep.json", "manifest is nested more than 32 levels deep"},
                          Case {"/thirty-two.json", "The data couldn’t be read because it isn’t in the correct "
                                                    "format: expected a dictionary but found an array."},
                          Case {"/quoted.json", "The data couldn’t be read because it is missing: no value for "
                                                "key \"version\"."}}) {
        SCOPED_TRACE(c.path);
        try {
            readManifest(files, c.path);
            ADD_FAILURE() << "accepted";
        } catch (const std::exception& error) {
            EXPECT_EQ(error.what(), c.error);
        }
    }
    std::string exact = encodeManifest(requiredOnly());
    exact.insert(1, std::string(64 * 1024 - exact.size(), ' '));
    ASSERT_EQ(exact.size(), 64u * 1024);
    EXPECT_NO_THROW(decodeManifest(exact)) << "64 KiB itself is allowed";
}

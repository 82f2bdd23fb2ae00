// The virtual Mac's readers of outside input: its state file, disk names and
// sizes from command lines, property lists of bundles that open launches, and
// the volume tree inside an image that hdiutil attach is handed. The first
// byte picks the reader; each must refuse bad input with a ToolError (or an
// empty result) and never crash.
#include "macsim/basics.h"
#include "macsim/file_ops.h"
#include "macsim/plist_out.h"
#include "macsim/sealed_tree.h"
#include "macsim/state.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

const std::string treeContext = "fuzzed image";

// Seals the input as the plaintext of a volume tree (magic, nonce, AES-256-GCM
// with the magic and context as associated data, tag), so that the fuzzer
// drives the tree reader behind a valid tag, as the owner of an image can.
std::string sealAsTree(const std::string& plain, const macsim::SecretBytes& key)
{
    const std::string magic = "MSIMSEAL";
    const std::string nonce(12, '\0');
    std::string aad = magic + treeContext;
    std::string sealed(plain.size() + 16, '\0');
    EVP_CIPHER_CTX* cipher = EVP_CIPHER_CTX_new();
    int length = 0;
    int finalLength = 0;
    auto bytes = [](const std::string& text) { return reinterpret_cast<const unsigned char*>(text.data()); };
    auto out = reinterpret_cast<unsigned char*>(sealed.data());
    if (!cipher || EVP_EncryptInit_ex(cipher, EVP_aes_256_gcm(), nullptr, key.data(), bytes(nonce)) != 1
        || EVP_EncryptUpdate(cipher, nullptr, &length, bytes(aad), static_cast<int>(aad.size())) != 1
        || EVP_EncryptUpdate(cipher, out, &length, bytes(plain), static_cast<int>(plain.size())) != 1
        || EVP_EncryptFinal_ex(cipher, out + length, &finalLength) != 1
        || EVP_CIPHER_CTX_ctrl(cipher, EVP_CTRL_GCM_GET_TAG, 16, out + plain.size()) != 1)
        std::abort();
    EVP_CIPHER_CTX_free(cipher);
    return magic + nonce + sealed;
}

// Whatever the tree says, nothing may appear beside the directory it opens into.
void openFuzzedTree(const std::string& plain)
{
    static const macsim::SecretBytes key = macsim::newVolumeKey();
    static const std::string root = [] {
        char pattern[] = "/tmp/macsim-tree-fuzz-XXXXXX";
        if (!::mkdtemp(pattern))
            std::abort();
        return std::string(pattern);
    }();
    macsim::removeTree(root + "/out");
    macsim::writeFileAtomically(root + "/sealed", sealAsTree(plain, key));
    try {
        macsim::openTree(root + "/sealed", key, treeContext, root + "/out");
    } catch (const macsim::ToolError&) {
        if (macsim::pathExists(root + "/out"))
            std::abort(); // a refused tree leaves nothing behind
    }
    for (const std::string& name : macsim::directoryEntries(root)) {
        if (name != "sealed" && name != "out")
            std::abort();
    }
    macsim::removeTree(root + "/out");
}

std::size_t walk(const macsim::Plist& value)
{
    std::size_t count = 1;
    if (const auto* array = macsim::asArray(&value)) {
        for (const auto& item : *array)
            count += walk(item);
    } else if (const auto* dictionary = macsim::asDictionary(&value)) {
        for (const auto& [key, item] : *dictionary)
            count += key.size() + walk(item);
    }
    return count;
}

}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
    try {
        switch (data[0] % 5) {
        case 0: {
            macsim::State state = macsim::decodeState(input);
            // Whatever decodes must encode and decode to the same thing.
            if (macsim::encodeState(macsim::decodeState(macsim::encodeState(state))) != macsim::encodeState(state))
                std::abort();
            break;
        }
        case 1: {
            macsim::DiskName name;
            if (macsim::parseDiskName(input, name) && (name.disk < 0 || name.slice < 0))
                std::abort();
            break;
        }
        case 2:
            macsim::parseSize(input);
            break;
        case 3:
            if (auto plist = macsim::parsePlist(input))
                walk(*plist);
            break;
        default:
            openFuzzedTree(input);
            break;
        }
    } catch (const macsim::ToolError&) {
    }
    return 0;
}

// Signed images: Monocypher's Ed25519 against RFC 8032, the PEM key files, the signature image
// format and its run after an image, the check's verdicts for the hostile cases, the switch's key
// folder, and the host's signing. Faults tried (src/image/signature_image.cpp, src/keys/*.cpp,
// tools/bmimage/image_signer.cpp) and the test that caught each:
//   the signature image's CRC not checked -> SignatureImage.EncodesAndRefusesEveryBadField;
//   a run that ends at the first unknown-key signature, or a bad trusted signature stepped over
//   when a good one follows -> SignatureCheck.HostileCasesTable;
//   the base64 decoder accepting a missing padding character, the X25519 OID taken for Ed25519 ->
//   PemKey.RoundTripAndRefusals;
//   a read error taken for an empty key file -> KeyFolder.BadFilesAreReportedAndStillCount;
//   sign replacing every older signature instead of the same key's -> ImageSigner.ReplacesOnlyItsOwnKey.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>

#include <monocypher-ed25519.h>
#include "bmimage/image_builder.h"
#include "image/signature_image.h"
#include "keys/key_store.h"
#include "keys/signature_check.h"
#include "support/console_driver.h"
#include "support/signing.h"

namespace {

Bytes hex(const char* text) {
    Bytes bytes;
    for (size_t i = 0; text[i] && text[i + 1]; i += 2)
        bytes.push_back(uint8_t(std::stoul(std::string(text + i, 2), nullptr, 16)));
    return bytes;
}

KeyList trusting(std::initializer_list<Bytes> public_keys) {
    KeyList list{};
    for (const Bytes& key : public_keys) {
        list.files++;
        add_trusted_key(&list, key.data());
    }
    return list;
}

// The verdict for the one image at the start of file.
SignatureVerdict verdict_of(const KeyList& keys, const Bytes& file, uint32_t image_len) {
    SignatureRun run = signature_run_in_buffer(file.data(), file.size(), image_len);
    return check_image_signatures(keys, file.data(), image_len, run);
}

TEST(Ed25519, Rfc8032TestVectorTwo) {
    Bytes seed = hex("4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb");
    Bytes expected_public = hex("3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c");
    Bytes expected_signature =
        hex("92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da"
            "085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00");
    EXPECT_EQ(public_of(seed), expected_public);
    uint8_t secret[64], public_key[32];
    crypto_ed25519_key_pair(secret, public_key, seed.data());
    uint8_t message = 0x72, signature[64];
    crypto_ed25519_sign(signature, secret, &message, 1);
    EXPECT_EQ(Bytes(signature, signature + 64), expected_signature);
    EXPECT_EQ(crypto_ed25519_check(signature, public_key, &message, 1), 0);
    message ^= 1;
    EXPECT_NE(crypto_ed25519_check(signature, public_key, &message, 1), 0);
}

TEST(PemKey, RoundTripAndRefusals) {
    Bytes key = public_of(seed_of(7));
    char text[PEM_KEY_TEXT_MAX];
    size_t length = encode_pem_key(key.data(), PEM_PUBLIC_KEY, text);
    std::string pem(text, length);
    EXPECT_EQ(pem.substr(0, 27), "-----BEGIN PUBLIC KEY-----\n");
    EXPECT_EQ(pem.substr(27, 16), "MCowBQYDK2VwAyEA");  // the fixed SubjectPublicKeyInfo prefix
    uint8_t decoded[ED25519_KEY_SIZE];
    ASSERT_TRUE(decode_pem_key(pem.data(), pem.size(), PEM_PUBLIC_KEY, decoded));
    EXPECT_EQ(Bytes(decoded, decoded + 32), key);
    EXPECT_FALSE(decode_pem_key(pem.data(), pem.size(), PEM_PRIVATE_KEY, decoded));

    Bytes seed = seed_of(9);
    length = encode_pem_key(seed.data(), PEM_PRIVATE_KEY, text);
    std::string private_pem(text, length);
    EXPECT_EQ(private_pem.substr(28, 24), "MC4CAQAwBQYDK2VwBCIEIAkJ");
    ASSERT_TRUE(decode_pem_key(private_pem.data(), private_pem.size(), PEM_PRIVATE_KEY, decoded));
    EXPECT_EQ(Bytes(decoded, decoded + 32), seed);

    // Windows line ends and text around the block are accepted.
    std::string framed = "comment\r\n" + pem.substr(0, 26) + "\r\n" + pem.substr(27);
    EXPECT_TRUE(decode_pem_key(framed.data(), framed.size(), PEM_PUBLIC_KEY, decoded));
    auto refused = [&](std::string bad) { return !decode_pem_key(bad.data(), bad.size(), PEM_PUBLIC_KEY, decoded); };
    std::string no_padding = pem;
    no_padding.erase(no_padding.find('='), 1);
    EXPECT_TRUE(refused(no_padding));
    std::string x25519 = pem;
    x25519.replace(27, 16, "MCowBQYDK2VuAyEA");  // OID 1.3.101.110
    EXPECT_TRUE(refused(x25519));
    EXPECT_TRUE(refused(pem + pem));                             // two keys in one file
    EXPECT_TRUE(refused(pem.substr(0, 60)));                     // no end line
    EXPECT_TRUE(refused(std::string(pem).replace(30, 1, "*")));  // not base64
    EXPECT_TRUE(refused(std::string(pem).erase(40, 4)));         // three bytes short
    EXPECT_TRUE(refused(""));
}

TEST(SignatureImage, EncodesAndRefusesEveryBadField) {
    ImageSignature signature;
    memset(signature.fingerprint, 0xA5, sizeof signature.fingerprint);
    memset(signature.signature, 0x5A, sizeof signature.signature);
    uint8_t bytes[SIGNATURE_IMAGE_SIZE];
    encode_signature_image(signature, bytes);
    EXPECT_EQ(read_be32(bytes + 4), 76u);
    EXPECT_EQ(read_be32(bytes + 8), 0x07504754u);
    EXPECT_EQ(read_be32(bytes + 16), 1u);
    EXPECT_FALSE(image_crc_bad(bytes + 4, SIGNATURE_IMAGE_SIZE - 4, read_be32(bytes)));
    ImageSignature decoded;
    ASSERT_TRUE(decode_signature_image(bytes, sizeof bytes, &decoded));
    EXPECT_EQ(memcmp(&decoded, &signature, sizeof signature), 0);
    EXPECT_FALSE(decode_signature_image(bytes, sizeof bytes - 1, &decoded));
    for (size_t at : {4u, 8u, 19u, 30u, 91u}) {
        uint8_t bad[SIGNATURE_IMAGE_SIZE];
        memcpy(bad, bytes, sizeof bad);
        bad[at] ^= 1;
        EXPECT_FALSE(decode_signature_image(bad, sizeof bad, &decoded)) << "byte " << at;
    }
}

// Each hostile case of one image and what follows it, with the verdict a switch trusting key A
// gives it.
TEST(SignatureCheck, HostileCasesTable) {
    const uint8_t a = 1, b = 2;
    Bytes image = build_image({.type = IMAGE_APPLICATION, .id = 0x01020304}, Bytes(300, 0x42));
    Bytes other = build_image({.type = IMAGE_APPLICATION, .id = 0x01020305}, Bytes(300, 0x42));
    uint32_t len = uint32_t(image.size());
    Bytes by_a = signed_by(image, a), by_b = signed_by(image, b);
    Bytes sig_a(by_a.begin() + len, by_a.end()), sig_b(by_b.begin() + len, by_b.end());
    Bytes flipped = by_a;
    flipped[100] ^= 0x10;
    Bytes moved = joined({other, sig_a});
    Bytes huge = sig_a;
    write_be32(&huge[4], 0xFFFFFF00u);
    ImageSignature altered;
    decode_signature_image(sig_a.data(), sig_a.size(), &altered);
    altered.signature[0] ^= 1;
    Bytes forged(SIGNATURE_IMAGE_SIZE);
    encode_signature_image(altered, forged.data());
    Bytes many = image;
    for (int i = 0; i < MAX_IMAGE_SIGNATURES + 1; i++) many = joined({many, sig_b});
    many = joined({many, sig_a});
    const struct {
        const char* what;
        Bytes file;
        SignatureVerdict verdict;
    } cases[] = {
        {"signed by the trusted key", by_a, SIGNATURE_GOOD},
        {"no signature", image, SIGNATURE_MISSING},
        {"XMODEM padding after the image", joined({image, Bytes(128, 0x1A)}), SIGNATURE_MISSING},
        {"a signature by an unknown key", by_b, SIGNATURE_UNKNOWN_KEY},
        {"a flipped bit after signing", flipped, SIGNATURE_BAD},
        {"a signature moved onto another image", moved, SIGNATURE_BAD},
        {"a truncated signature image", Bytes(by_a.begin(), by_a.end() - 1), SIGNATURE_MALFORMED},
        {"a signature image cut to its probe", Bytes(by_a.begin(), by_a.begin() + len + 24), SIGNATURE_MALFORMED},
        {"a signature image with a huge length", joined({image, huge}), SIGNATURE_MALFORMED},
        {"an unknown key's signature, then a good one", joined({image, sig_b, sig_a}), SIGNATURE_GOOD},
        {"a bad trusted signature, then a good one", joined({image, forged, sig_a}), SIGNATURE_BAD},
        {"a good trusted signature, then a bad one", joined({image, sig_a, forged}), SIGNATURE_BAD},
        {"more signatures than an image may carry", many, SIGNATURE_MALFORMED},
    };
    KeyList keys = trusting({public_of(seed_of(a))});
    for (const auto& c : cases) EXPECT_EQ(verdict_of(keys, c.file, len), c.verdict) << c.what;
    // A switch whose every key file is bad trusts nothing.
    KeyList none{};
    none.files = 1;
    EXPECT_EQ(verdict_of(none, by_a, len), SIGNATURE_UNKNOWN_KEY);
    EXPECT_EQ(verdict_of(trusting({public_of(seed_of(b)), public_of(seed_of(a))}), by_a, len), SIGNATURE_GOOD);
}

TEST(KeyFolder, BadFilesAreReportedAndStillCount) {
    const std::string dir = temp_dir("bm-keys");
    for (auto [name, text] : {std::pair{"b.pem", public_pem(2)},
                              {"a.pem", public_pem(1)},
                              {"c.pem", std::string("not a key\n")},
                              {"notes.txt", public_pem(3)},
                              {".hidden.pem", public_pem(3)}})
        write_binary_file(dir + "/" + name, Bytes(text.begin(), text.end()));
    mkdir((dir + "/d.pem").c_str(), 0755);
    testing::internal::CaptureStdout();
    KeyList list{};
    load_key_folder(dir.c_str(), &list);
    std::string report = testing::internal::GetCapturedStdout();
    EXPECT_EQ(report, "Key file " + dir + "/c.pem ignored: not an Ed25519 public key\nKey file " + dir +
                          "/d.pem ignored: cannot be read (err 21)\n");
    EXPECT_EQ(list.files, 4);
    ASSERT_EQ(list.count, 2);
    EXPECT_EQ(Bytes(list.keys[0].key, list.keys[0].key + 32), public_of(seed_of(1)));
    EXPECT_EQ(Bytes(list.keys[1].key, list.keys[1].key + 32), public_of(seed_of(2)));

    KeyList missing{};
    load_key_folder((dir + "/none").c_str(), &missing);
    EXPECT_EQ(missing.files, 0);
    std::filesystem::remove_all(dir);
}

TEST(ImageSigner, ReplacesOnlyItsOwnKey) {
    Bytes kernel = build_image({.type = IMAGE_KERNEL, .id = 1}, Bytes(100, 1));
    Bytes app = build_image({.type = IMAGE_APPLICATION, .id = 2}, Bytes(200, 2));
    Bytes package = joined({kernel, app, Bytes(7, 0x1A)});
    const uint8_t a = 1, b = 2;
    Bytes twice = signed_by(signed_by(signed_by(package, a), b), a);
    std::vector<SignedEntry> entries;
    ASSERT_EQ(signed_entries(twice, &entries), "");
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(twice.size(), package.size() + 4 * SIGNATURE_IMAGE_SIZE);
    EXPECT_EQ(Bytes(twice.end() - 7, twice.end()), Bytes(7, 0x1A));
    uint8_t fingerprint_b[KEY_FINGERPRINT_SIZE];
    key_fingerprint(public_of(seed_of(b)).data(), fingerprint_b);
    KeyList keys = trusting({public_of(seed_of(a)), public_of(seed_of(b))});
    for (const SignedEntry& entry : entries) {
        ASSERT_EQ(entry.run.count, 2);
        EXPECT_EQ(memcmp(entry.run.signatures[0].fingerprint, fingerprint_b, KEY_FINGERPRINT_SIZE), 0);
        EXPECT_EQ(check_image_signatures(keys, twice.data() + entry.offset, entry.total_len, entry.run),
                  SIGNATURE_GOOD);
    }

    // A signature made elsewhere lands after the image named.
    uint8_t secret[64], public_key[32], signature[64];
    crypto_ed25519_key_pair(secret, public_key, seed_of(a).data());
    crypto_ed25519_sign(signature, secret, app.data(), app.size());
    Bytes attached;
    ASSERT_EQ(attach_signature(package, 1, public_key, signature, &attached), "");
    EXPECT_EQ(attached.size(), package.size() + SIGNATURE_IMAGE_SIZE);
    EXPECT_EQ(verdict_of(keys, Bytes(attached.begin() + kernel.size(), attached.end()), uint32_t(app.size())),
              SIGNATURE_GOOD);
    EXPECT_NE(attach_signature(package, 2, public_key, signature, &attached), "");
    EXPECT_NE(sign_package(Bytes(kernel.begin(), kernel.end() - 1), seed_of(a).data(), &attached), "");
}

}  // namespace

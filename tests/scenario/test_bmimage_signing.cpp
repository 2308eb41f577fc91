// bmimage keygen, sign, verify and info --key against the common tool: openssl verifies the
// signatures bmimage makes, over the image's bytes exactly as they stand, and bmimage takes
// openssl's keys and the signatures openssl makes.
// Faults tried (in tools/bmimage and src/keys, then reverted): the signature made over the image
// without its CRC field, or the fingerprint taken over the DER text -> openssl's verify and the
// fingerprint check of BmimageSigning.OpensslAndBmimageAcceptEachOthersKeysAndSignatures fail;
// keygen writing the key with the umask's mode, no warning for a key readable by others ->
// BmimageSigning.KeygenSignVerifyAndInfo fails.
#include <sys/stat.h>

#include "image/signature_image.h"
#include "scenario_board.h"

namespace {

struct BmimageSigning : testing::Test {
    std::string dir = temp_dir("bmimage-signing"), out;
    Bytes kernel = flash_image(IMAGE_KERNEL, 2000, 3), app = flash_image(IMAGE_APPLICATION, 5000, 4);

    void SetUp() override {
        write_binary_file(dir + "/app.img", app);
        write_binary_file(dir + "/package", joined({kernel, app}));
    }
    void TearDown() override { fs::remove_all(dir); }
    Bytes bytes(const std::string& name) { return read_binary_file(dir + "/" + name); }
    // Runs the command line in the folder, standard error with standard output; its exit status.
    int run(const std::string& command) { return run_command("cd " + dir + " && (" + command + ") 2>&1", &out); }
    int bmimage(const std::string& args) { return run(BMIMAGE_PATH " " + args); }
};

TEST_F(BmimageSigning, KeygenSignVerifyAndInfo) {
    ASSERT_EQ(bmimage("keygen -o key.pem --pub-out key.pub"), 0) << out;
    struct stat info;
    ASSERT_EQ(stat((dir + "/key.pem").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_TRUE(has(read_text_file(dir + "/key.pub"), {"-----BEGIN PUBLIC KEY-----\n", "-----END PUBLIC KEY-----\n"}));
    EXPECT_EQ(bmimage("keygen -o key.pem"), 1) << "an existing key is never replaced";
    EXPECT_EQ(bmimage("keygen -o -"), 2) << "the private key never goes to standard output";
    ASSERT_EQ(bmimage("keygen -o other.pem --pub-out other.pub"), 0) << out;

    EXPECT_EQ(bmimage("verify --key key.pub package"), 1);
    EXPECT_TRUE(has(out, {"offset 0", "kernel", "no signature", "offset 2016", "application", "no signature"}));
    ASSERT_EQ(bmimage("sign --key key.pem -o signed package"), 0) << out;
    EXPECT_EQ(out, "");
    ASSERT_EQ(bmimage("sign --key other.pem signed"), 0) << out;
    ASSERT_EQ(bmimage("sign --key key.pem signed"), 0) << out;  // replaces its own, keeps the other's
    EXPECT_EQ(bytes("signed").size(), kernel.size() + app.size() + 4 * SIGNATURE_IMAGE_SIZE);
    EXPECT_EQ(bmimage("verify --key key.pub signed"), 0) << out;
    EXPECT_EQ(bmimage("verify --key other.pub --key key.pub signed"), 0) << out;
    EXPECT_EQ(bmimage("info --key key.pub signed"), 0) << out;
    EXPECT_TRUE(has(out, {"signature", "signs", "key", "check", "\n1 ", "0 ", "unknown key", "\n2 ", "0 ",
                          "good signature", "\n4 ", "3 ", "unknown key", "\n5 ", "3 ", "good signature"}));
    EXPECT_EQ(bmimage("info --json signed"), 0) << out;
    EXPECT_TRUE(has(out, {"\"type\": \"signature\"", "\"signs\": 0", "\"key\": \"", "\"check\": null"}));

    Bytes flipped = bytes("signed");
    flipped[100] ^= 1;
    write_binary_file(dir + "/flipped", flipped);
    EXPECT_EQ(bmimage("verify --key key.pub flipped"), 1);
    EXPECT_TRUE(has(out, {"kernel", "bad signature", "application", "good signature"}));

    chmod((dir + "/key.pem").c_str(), 0644);
    EXPECT_EQ(bmimage("sign --key key.pem -o again package"), 0);
    EXPECT_TRUE(has(out, {"warning: private key 'key.pem' is readable by others"}));
    EXPECT_EQ(bmimage("sign --key key.pub package"), 1);
    EXPECT_TRUE(has(out, {"holds no Ed25519 private key"}));
}

TEST_F(BmimageSigning, OpensslAndBmimageAcceptEachOthersKeysAndSignatures) {
    ASSERT_EQ(run("openssl version"), 0) << "the openssl program is missing (scripts/bootstrap.sh installs it)";
    ASSERT_EQ(bmimage("keygen -o key.pem --pub-out key.pub"), 0) << out;
    ASSERT_EQ(bmimage("sign --key key.pem -o signed app.img"), 0) << out;

    // openssl verifies bmimage's signature: the image's bytes, then the last 64 bytes of the file.
    Bytes signed_file = bytes("signed");
    ASSERT_EQ(signed_file.size(), app.size() + SIGNATURE_IMAGE_SIZE);
    write_binary_file(dir + "/signed.sig", Bytes(signed_file.end() - 64, signed_file.end()));
    ASSERT_EQ(run("openssl pkeyutl -verify -pubin -inkey key.pub -rawin -in app.img -sigfile signed.sig"), 0) << out;
    EXPECT_TRUE(has(out, {"Signature Verified Successfully"}));
    // The fingerprint: the first 8 bytes of SHA-512 of the raw 32-byte public key.
    ASSERT_EQ(run("openssl pkey -pubin -in key.pub -outform DER | tail -c 32 | openssl dgst -sha512 -r | cut -c1-16"),
              0);
    std::string fingerprint = out.substr(0, 16);
    ASSERT_EQ(bmimage("info signed"), 0) << out;
    EXPECT_TRUE(has(out, {"\n1 ", "0 ", fingerprint}));

    // bmimage takes openssl's keys and the signature openssl makes, which is the one bmimage
    // makes with the same key (Ed25519 signatures are deterministic).
    ASSERT_EQ(run("openssl genpkey -algorithm ed25519 -out ossl.pem && openssl pkey -in ossl.pem -pubout -out ossl.pub"
                  " && openssl pkeyutl -sign -inkey ossl.pem -rawin -in app.img -out ossl.sig"),
              0)
        << out;
    ASSERT_EQ(bmimage("sign --pub ossl.pub --signature ossl.sig --image 1 -o attached package"), 0) << out;
    EXPECT_EQ(bmimage("verify --key ossl.pub attached"), 1);
    EXPECT_TRUE(has(out, {"kernel", "no signature", "application", "good signature"}));
    ASSERT_EQ(bmimage("sign --key ossl.pem -o ours app.img"), 0) << out;
    Bytes ours = bytes("ours");
    EXPECT_EQ(Bytes(ours.end() - 64, ours.end()), bytes("ossl.sig"));
    EXPECT_EQ(bmimage("verify --key ossl.pem ours"), 0) << out;  // a private key names its public key too
    write_binary_file(dir + "/short.sig", Bytes(63, 1));
    EXPECT_EQ(bmimage("sign --pub ossl.pub --signature short.sig app.img"), 1);
}

}  // namespace

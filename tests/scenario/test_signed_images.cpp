// Signed images on the simulated board: a board without keys installs and boots signed packages
// exactly as unsigned ones, and a board with keys (bmsim keys, seen as /etc/bootmanager/keys)
// installs and boots only images with a good signature by one of them.
// Faults tried (each check left out in turn, then restored) and the test that caught each:
//   the installer's check of application images, or of flash images ->
//   SignedImages.InstallRefusesEveryHostileCaseWithNothingWritten;
//   the slot boot's check, the USB image's (same code), the rescue partition's check, the
//   recovery copy without its signatures -> SignedImages.BootRefusesUnverifiedSlotUsbAndRescueImages;
//   the slot file written without the signatures -> both of the above (the next boot refuses it),
//   and SignedImages.BmctlInstallChecksSignaturesToo;
//   a key folder with bad files only taken as no keys -> SignedImages.BadKeyFilesAreReportedAndTrustNothing;
//   signature images not stepped over without keys, or written into the slot ->
//   SignedImages.WithoutKeysSignedPackagesInstallAndBootAsUnsigned.
#include "image/signature_image.h"
#include "signed_board.h"

namespace {

struct SignedImages : Scenario {
    void trust(uint8_t key) { ::trust(board, key); }
    // Installs the file as slot 1's USB replacement and boots up to the application.
    void replace_slot1(const Bytes& file, const Texts& texts) {
        set_eeprom("0x13B", "0xD5");
        insert_stick({{"NXR4417_replace1_OS.img", file}});
        boot_showing(texts);
        bmsim_ok({"usb", board, "remove"});
        fs::remove_all(board + "/usb");
    }
};

// The same stick (a boot package with a kernel and slot 1's replacement) on a board without
// keys, unsigned and then signed: the same console, the same requests, the same slot file.
TEST_F(SignedImages, WithoutKeysSignedPackagesInstallAndBootAsUnsigned) {
    const Bytes kernel = flash_image(IMAGE_KERNEL, 5000, 0x5A, VERSION_2), app = app_image("replace1", VERSION_2);
    std::vector<std::string> consoles, logs, devices;
    for (bool signed_stick : {false, true}) {
        bmsim_ok({"new", board});
        put_slot(1, app_image("slot1"));
        set_eeprom("0x13B", "0xD5");
        insert_stick({{"NXR4417_Boot.img", signed_stick ? signed_by(kernel, KEY_A) : kernel},
                      {"NXR4417_replace1_OS.img", signed_stick ? signed_by(app, KEY_A) : app}});
        boot_showing({"APPLICATION replace1 RUNNING"}, {"--power-cycles", "2"});
        consoles.push_back(session.output);
        logs.push_back(log());
        devices.push_back(read_text_file(board + "/devices.log"));
        EXPECT_EQ(slot(1), app);
        EXPECT_TRUE(starts_with(partition("kernel"), kernel));
    }
    EXPECT_EQ(consoles[0], consoles[1]);
    EXPECT_EQ(logs[0], logs[1]);
    EXPECT_EQ(devices[0], devices[1]);
}

// Each hostile image is refused with its reason before anything is written: the slot keeps its
// image. A package whose kernel is unsigned is voided from there on: its good application is not
// installed either. Last, a good one is installed with its signature and boots.
TEST_F(SignedImages, InstallRefusesEveryHostileCaseWithNothingWritten) {
    trust(KEY_A);
    EXPECT_TRUE(has(bmsim_ok({"keys", board, "list"}), {".pem  "}));
    const Bytes old = signed_by(app_image("slot1"), KEY_A), app = app_image("replace1", VERSION_2);
    const Bytes good = signed_by(app, KEY_A), other = signed_by(app_image("other", VERSION_2), KEY_A);
    const Bytes signature(good.begin() + app.size(), good.end());
    // A bit flipped after signing, with the CRC made good again as an attacker would.
    Bytes flipped = good, huge = good, truncated(good.begin(), good.end() - 1);
    flipped[app.size() / 2] ^= 0x01;
    write_be32(&flipped[0], crc32_update(&flipped[4], uint32_t(app.size()) - 4, 0xFFFFFFFF));
    write_be32(&huge[app.size() + 4], 0x7FFFFFF0);
    // A well-formed signature image by the trusted key whose signature does not verify.
    ImageSignature altered;
    ASSERT_TRUE(decode_signature_image(signature.data(), SIGNATURE_IMAGE_SIZE, &altered));
    altered.signature[5] ^= 0x01;
    Bytes forged(SIGNATURE_IMAGE_SIZE);
    encode_signature_image(altered, forged.data());
    const std::pair<Bytes, std::string> cases[] = {
        {app, "no signature"},
        {signed_by(app, KEY_B), "unknown key"},
        {flipped, "bad signature"},
        {joined({Bytes(other.begin(), other.end() - SIGNATURE_IMAGE_SIZE), signature}), "bad signature"},
        {truncated, "malformed signature"},
        {joined({app, forged, signature}), "bad signature"},
        {huge, "malformed signature"},
    };
    put_slot(1, old);
    for (const auto& [file, reason] : cases) {
        SCOPED_TRACE(reason);
        replace_slot1(file, {"Installing Application: Signature check failed: " + reason + ", voiding download",
                             "APPLICATION slot1 RUNNING"});
        EXPECT_EQ(slot(1), old);
    }
    const Bytes kernel = flash_image(IMAGE_KERNEL, 5000, 0x5A, VERSION_2), kernel_before = partition("kernel");
    replace_slot1(joined({kernel, good}), {"Installing Kernel: Signature check failed: no signature, voiding download",
                                           "APPLICATION slot1 RUNNING"});
    EXPECT_TRUE(lacks(session.output, {"Installing Application"}));
    EXPECT_EQ(partition("kernel"), kernel_before);
    EXPECT_EQ(slot(1), old);

    replace_slot1(joined({signed_by(app, KEY_B), signature}),
                  {"Image1 has been successfully replaced", "APPLICATION replace1 RUNNING"});
    EXPECT_EQ(slot(1), joined({signed_by(app, KEY_B), signature}));
}

// Slot 1 signed by an unknown key falls back to slot 2 like a CRC failure; a USB image without
// a signature fails like one with a bad CRC; the rescue partition's image is refused without a
// good signature, and a recovery copy takes its signature along into the slot, which then boots.
TEST_F(SignedImages, BootRefusesUnverifiedSlotUsbAndRescueImages) {
    trust(KEY_A);
    put_slot(1, signed_by(app_image("one"), KEY_B));
    put_slot(2, signed_by(app_image("two"), KEY_A));
    set_eeprom("0x13B", "0xD5");
    insert_stick({{"NXR4417_OS.img", app_image("usb")}});
    boot_showing({"Booting image 'NXR4417_OS.img' from USB stick.", "USB image signature check failed: no signature",
                  "USB image CRC failed.", "Booting image '1'", "Image1 signature check failed: unknown key",
                  "Image1 CRC failed, trying Image2 now.", "APPLICATION two RUNNING"});
    bmsim_ok({"usb", board, "remove"});

    env({"diagnostics=diags"});
    const Bytes recovery = app_image("recovery", VERSION_2);
    flash("rescue", recovery);
    boot();
    answer("Confirm: Erase filesystem?", "n");
    shows({"Rescue image signature check failed: no signature", "Image CRC failed. Quitting", "Booting image '1'"});
    ends();
    flash("rescue", signed_by(recovery, KEY_A));
    boot();
    answer("Confirm: Erase filesystem?", "n");
    answer("Install recovery image as image 1 or 2 (hit return to just boot image): ", "1\r");
    shows({"Installing recovery image as image1...", "APPLICATION recovery RUNNING"});
    ends();
    EXPECT_EQ(slot(1), signed_by(recovery, KEY_A));
    env({"--clear"});
    boot_showing({"Booting image '1'", "APPLICATION recovery RUNNING"});
}

// bmctl install, run on the switch as an application would, checks as the rescue menu does: the
// unsigned package is refused with nothing written, the signed one installed with its signature.
TEST_F(SignedImages, BmctlInstallChecksSignaturesToo) {
    trust(KEY_A);
    const Bytes app = app_image("two", VERSION_2);
    put_slot(1, signed_by(app_image("one"), KEY_A));
    set_eeprom("0x100", "1");
    set_eeprom("0x13A", "1");
    write_binary_file(board + "/user/unsigned.img", app);
    write_binary_file(board + "/user/signed.img", signed_by(app, KEY_A));
    EXPECT_TRUE(has(on_switch("for p in unsigned signed; do /sbin/bmctl install /user/$p.img; echo \"exit $?\"; done"),
                    {"Installing Application: Signature check failed: no signature, voiding download",
                     "nothing was installed", "exit 1\n", "Image2 updated succeeded", "exit 0\n"}));
    EXPECT_EQ(slot(2), signed_by(app, KEY_A));
}

// A key file that is no key is reported and ignored beside a good one; a board whose every key
// file is bad trusts nothing, rather than everything.
TEST_F(SignedImages, BadKeyFilesAreReportedAndTrustNothing) {
    fs::create_directories(board + "/keys");
    write_text(board + "/keys/bad.pem", "-----BEGIN PUBLIC KEY-----\nnot base64\n-----END PUBLIC KEY-----\n");
    put_slot(1, signed_by(app_image("one"), KEY_A));
    put_slot(2, signed_by(app_image("two"), KEY_A));
    boot_showing({"Booting image '1'", "Key file /etc/bootmanager/keys/bad.pem ignored: not an Ed25519 public key",
                  "Image1 signature check failed: unknown key", "Booting image '2'",
                  "Image2 signature check failed: unknown key", "Both image1 and image2 failed."});
    EXPECT_EQ(count_of(session.output, "Key file"), 1u) << session.output;
    trust(KEY_A);
    boot_showing({"Booting image '1'", "Key file /etc/bootmanager/keys/bad.pem ignored: not an Ed25519 public key",
                  "APPLICATION one RUNNING"});
    EXPECT_TRUE(has(bmsim_ok({"keys", board, "list"}), {"bad.pem  not an Ed25519 public key"}));
    bmsim_ok({"keys", board, "clear"});
    put_slot(1, app_image("one"));
    boot_showing({"Booting image '1'", "APPLICATION one RUNNING"});
    EXPECT_TRUE(lacks(session.output, {"Key file", "signature"}));
}

}  // namespace

// bmimage keygen, sign and verify, and the signature rows of info: Ed25519 keys in PEM files and
// signature images after the images they sign.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <monocypher.h>
#include "command_line.h"
#include "image/image_header.h"
#include "image/signature_image.h"
#include "image_builder.h"
#include "image_signer.h"

static const char keygen_help[] =
    "usage: bmimage keygen -o KEY [--pub-out PUB]\n"
    "Makes a new Ed25519 key pair. KEY (a new file, mode 0600) gets the private key, PUB the\n"
    "public key, both as PEM files like those of 'openssl genpkey -algorithm ed25519' and\n"
    "'openssl pkey -pubout'. The private key is never written to standard output.\n";

static const char sign_help[] =
    "usage: bmimage sign --key KEY [-o OUT] FILE\n"
    "       bmimage sign --pub PUB --signature SIG [--image N] [-o OUT] FILE\n"
    "Signs every image of FILE that is not a signature: a signature image goes right after each\n"
    "image, replacing an older signature by the same key and keeping those by other keys. Without\n"
    "-o, FILE is replaced. The second form adds a signature made elsewhere (SIG: the 64 bytes of\n"
    "'openssl pkeyutl -sign -rawin' over the image's bytes) by the key in PUB to image N (counting\n"
    "only the images that are not signatures; default 0).\n";

static const char verify_help[] =
    "usage: bmimage verify --key PUB [--key PUB...] FILE\n"
    "Checks that every image of FILE that is not a signature carries a good signature by one of\n"
    "the keys, as a switch holding those keys does: one row per image. Exit status 0 only when\n"
    "every image verifies, 1 otherwise.\n";

// ---- Key files -------------------------------------------------------------------------------

static void warn_if_readable_by_others(const std::string& path) {
    struct stat info;
    if (stat(path.c_str(), &info) == 0 && (info.st_mode & 0044) != 0)
        fprintf(stderr, "bmimage: warning: private key '%s' is readable by others (mode %04o)\n", path.c_str(),
                unsigned(info.st_mode & 07777));
}

static void read_private_key(const std::string& path, uint8_t* seed) {
    warn_if_readable_by_others(path);
    std::vector<uint8_t> text = read_input(path);
    bool good = decode_pem_key(reinterpret_cast<const char*>(text.data()), text.size(), PEM_PRIVATE_KEY, seed);
    crypto_wipe(text.data(), text.size());
    if (!good) fail("'%s' holds no Ed25519 private key", path.c_str());
}

// A public key file, or a private key file whose public key is taken.
static void read_public_key(const std::string& path, uint8_t* key) {
    std::vector<uint8_t> text = read_input(path);
    const char* chars = reinterpret_cast<const char*>(text.data());
    uint8_t seed[ED25519_KEY_SIZE];
    if (decode_pem_key(chars, text.size(), PEM_PUBLIC_KEY, key)) return;
    if (!decode_pem_key(chars, text.size(), PEM_PRIVATE_KEY, seed)) fail("'%s' holds no Ed25519 key", path.c_str());
    public_key_of(seed, key);
    crypto_wipe(seed, sizeof seed);
    crypto_wipe(text.data(), text.size());
}

static KeyList key_options(const CommandLine& line) {
    KeyList keys{};
    for (const std::string& path : line.keys) {
        uint8_t key[ED25519_KEY_SIZE];
        read_public_key(path, key);
        keys.files++;
        if (!add_trusted_key(&keys, key)) usage_fail("at most %d keys", MAX_TRUSTED_KEYS);
    }
    return keys;
}

// A new file only, created with mode 0600 so that the key is never readable by others.
static void write_private_key(const std::string& path, const char* text, size_t length) {
    if (path == "-") usage_fail("keygen: the private key is never written to standard output");
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0) fail("cannot write '%s': %s", path.c_str(), strerror(errno));
    bool written = fchmod(fd, 0600) == 0 && write(fd, text, length) == ssize_t(length);
    int error = errno;
    if (close(fd) != 0 && written) {
        written = false;
        error = errno;
    }
    if (!written) {
        unlink(path.c_str());
        fail("cannot write '%s': %s", path.c_str(), strerror(error));
    }
}

int run_keygen(int argc, char** argv) {
    static const option options[] = {{"pub-out", required_argument, nullptr, 0},
                                     {"output", required_argument, nullptr, 'o'},
                                     {"help", no_argument, nullptr, 'h'},
                                     {}};
    CommandLine line = parse_command_line(argc, argv, options, "keygen", keygen_help);
    require_operands(line, 0, 0, "no operand", "keygen");
    std::string out = required_value(line, "output", "keygen");

    uint8_t seed[ED25519_KEY_SIZE], public_key[ED25519_KEY_SIZE];
    if (!make_key_pair(seed, public_key)) fail("no random bytes for the key: %s", strerror(errno));
    char text[PEM_KEY_TEXT_MAX];
    size_t length = encode_pem_key(seed, PEM_PRIVATE_KEY, text);
    crypto_wipe(seed, sizeof seed);
    write_private_key(out, text, length);
    crypto_wipe(text, sizeof text);
    if (line.values.count("pub-out")) {
        length = encode_pem_key(public_key, PEM_PUBLIC_KEY, text);
        write_output(line.values["pub-out"], std::vector<uint8_t>(text, text + length));
    }
    return 0;
}

// ---- sign ------------------------------------------------------------------------------------

static std::vector<uint8_t> signed_elsewhere(const CommandLine& line, const std::vector<uint8_t>& file) {
    uint8_t key[ED25519_KEY_SIZE];
    read_public_key(required_value(line, "pub", "sign"), key);
    std::vector<uint8_t> signature = read_input(required_value(line, "signature", "sign"));
    if (signature.size() != ED25519_SIGNATURE_SIZE)
        fail("'%s' is no Ed25519 signature (%zu bytes, not 64)", line.values.at("signature").c_str(), signature.size());
    size_t index = 0;
    if (line.values.count("image")) index = size_t(std::stoul("0" + line.values.at("image")));
    std::vector<uint8_t> out;
    std::string problem = attach_signature(file, index, key, signature.data(), &out);
    if (!problem.empty()) fail("'%s': %s", line.operands[0].c_str(), problem.c_str());
    return out;
}

int run_sign(int argc, char** argv) {
    static const option options[] = {{"pub", required_argument, nullptr, 0},
                                     {"signature", required_argument, nullptr, 0},
                                     {"image", required_argument, nullptr, 0},
                                     {"key", required_argument, nullptr, 0},
                                     {"output", required_argument, nullptr, 'o'},
                                     {"help", no_argument, nullptr, 'h'},
                                     {}};
    CommandLine line = parse_command_line(argc, argv, options, "sign", sign_help);
    require_operands(line, 1, 1, "one FILE", "sign");
    bool elsewhere = line.values.count("signature") > 0;
    if (line.keys.size() != (elsewhere ? 0u : 1u))
        usage_fail("sign: give one --key, or --pub and --signature (see 'bmimage sign --help')");
    const std::string& path = line.operands[0];
    std::string out = line.values.count("output") ? line.values.at("output") : path;

    std::vector<uint8_t> file = read_input(path);
    if (elsewhere) {
        write_output(out, signed_elsewhere(line, file));
        return 0;
    }
    uint8_t seed[ED25519_KEY_SIZE];
    read_private_key(line.keys[0], seed);
    std::vector<uint8_t> signed_file;
    std::string problem = sign_package(file, seed, &signed_file);
    crypto_wipe(seed, sizeof seed);
    if (!problem.empty()) fail("'%s': %s", path.c_str(), problem.c_str());
    write_output(out, signed_file);
    return 0;
}

// ---- verify ----------------------------------------------------------------------------------

int run_verify(int argc, char** argv) {
    static const option options[] = {{"key", required_argument, nullptr, 0}, {"help", no_argument, nullptr, 'h'}, {}};
    CommandLine line = parse_command_line(argc, argv, options, "verify", verify_help);
    require_operands(line, 1, 1, "one FILE", "verify");
    if (line.keys.empty()) usage_fail("verify: option '--key' is required (see 'bmimage verify --help')");
    if (line.values.count("output")) usage_fail("verify: unknown option '-o' (see 'bmimage verify --help')");
    KeyList keys = key_options(line);
    const std::string& path = line.operands[0];
    std::vector<uint8_t> file = read_input(path);
    std::vector<SignedEntry> entries;
    std::string problem = signed_entries(file, &entries);
    if (!problem.empty()) fail("'%s': %s", path.c_str(), problem.c_str());
    if (entries.empty()) fail("'%s': no image", path.c_str());

    bool all_good = true;
    for (const SignedEntry& entry : entries) {
        SignatureVerdict verdict = check_image_signatures(keys, file.data() + entry.offset, entry.total_len, entry.run);
        std::string name = image_type_name(entry.type);
        printf("offset %-10u  %-11s  %s\n", entry.offset, name.empty() ? "unknown" : name.c_str(),
               signature_verdict_text(verdict));
        all_good = all_good && verdict == SIGNATURE_GOOD;
    }
    return all_good ? 0 : 1;
}

// ---- info ------------------------------------------------------------------------------------

namespace {

// One signature image of a package, with the image it follows.
struct SignatureRow {
    size_t index;  // the signature image's index, as info numbers every image
    size_t signs;  // the index of the image it signs
    uint32_t offset;
    bool readable;
    ImageSignature signature;
    const char* check;  // "-" without keys
};

std::vector<SignatureRow> signature_rows(const std::vector<uint8_t>& file, const CommandLine& line) {
    KeyList keys = key_options(line);
    std::vector<SignatureRow> rows;
    PackageWalk walk = walk_buffer(file.data(), file.size());
    FoundImage image, signed_image{};
    size_t signed_index = 0;
    for (size_t index = 0; walk_next(&walk, &image) == WALK_IMAGE && walk.next <= file.size(); index++) {
        if (image.type != IMAGE_SIGNATURE) {
            signed_image = image;
            signed_index = index;
            continue;
        }
        SignatureRow row{index, signed_index, uint32_t(image.position), false, {}, "-"};
        row.readable = decode_signature_image(file.data() + image.position, image.layout.total_len, &row.signature);
        if (!row.readable) {
            row.check = "malformed";
        } else if (!line.keys.empty()) {
            SignatureRun run{};
            run.signatures[0] = row.signature;
            run.count = 1;
            row.check = index == 0
                            ? "no image"
                            : signature_verdict_text(check_image_signatures(keys, file.data() + signed_image.position,
                                                                            signed_image.layout.total_len, run));
        }
        rows.push_back(row);
    }
    return rows;
}

}  // namespace

void print_signature_rows(const std::vector<uint8_t>& file, const CommandLine& line) {
    std::vector<SignatureRow> rows = signature_rows(file, line);
    if (rows.empty()) return;
    printf("\n%-9s  %-5s  %-16s  %s\n", "signature", "signs", "key", "check");
    for (const SignatureRow& row : rows) {
        char fingerprint[2 * KEY_FINGERPRINT_SIZE + 1] = "-";
        if (row.readable) format_fingerprint(row.signature.fingerprint, fingerprint);
        printf("%-9zu  %-5zu  %-16s  %s\n", row.index, row.signs, fingerprint, row.check);
    }
}

std::map<uint32_t, std::string> signature_json_fields(const std::vector<uint8_t>& file, const CommandLine& line) {
    std::map<uint32_t, std::string> fields;
    for (const SignatureRow& row : signature_rows(file, line)) {
        char fingerprint[2 * KEY_FINGERPRINT_SIZE + 1] = "";
        if (row.readable) format_fingerprint(row.signature.fingerprint, fingerprint);
        std::string check = line.keys.empty() ? "null" : std::string("\"") + row.check + "\"";
        fields[row.offset] =
            ", \"signs\": " + std::to_string(row.signs) + ", \"key\": \"" + fingerprint + "\", \"check\": " + check;
    }
    return fields;
}

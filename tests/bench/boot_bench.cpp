// The boot's verify-and-extract of an application image, with and without its signature check,
// against a plain read, write and unpack of the same bytes, for 1, 16 and 64 MiB images. The
// steps are the boot's own (find the image, read it whole with its CRC, check its signatures,
// write the archive), on files in a temporary folder; the archive is unpacked with the host's tar,
// as the switch's start does with its own. Each case is timed several times and the best run
// counts. The signature's cost is its case's time over the boot's without it, and, steadier on a
// busy machine, the boot's time with the check alone added over the boot's.
//   boot_bench [ROUNDS]     default 7
// Fault tried: the signature check given the wrong key -> "the signature did not verify", exit 1.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bmimage/image_builder.h"
#include "bmimage/image_signer.h"
#include "image/image_header.h"
#include "image/signature_image.h"
#include "keys/signature_check.h"
#include "store/slot_boot.h"

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace {

struct Bench {
    std::string dir;
    KeyList keys;
};

void write_file(const std::string& path, const Bytes& bytes) {
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr || fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() || fclose(file) != 0) {
        fprintf(stderr, "boot_bench: cannot write %s\n", path.c_str());
        exit(1);
    }
}

// A gzip-compressed tar of one file of `size` bytes that compress to about 4/7 of their size, as
// programs do.
Bytes application_archive(const Bench& bench, size_t size) {
    Bytes content(size);
    std::mt19937 random(size);
    for (auto& byte : content) byte = uint8_t(random() & 0x0F);
    fs::create_directories(bench.dir + "/tree/home/bin");
    write_file(bench.dir + "/tree/home/bin/mp.elf.strip", content);
    std::string archive = bench.dir + "/app.tar.gz";
    if (system(("tar -C " + bench.dir + "/tree -czf " + archive + " home").c_str()) != 0) exit(1);
    fs::remove_all(bench.dir + "/tree");
    FILE* file = fopen(archive.c_str(), "rb");
    Bytes bytes(fs::file_size(archive));
    if (file == nullptr || fread(bytes.data(), 1, bytes.size(), file) != bytes.size()) exit(1);
    fclose(file);
    return bytes;
}

void unpack(const Bench& bench) {
    fs::remove_all(bench.dir + "/out");
    fs::create_directories(bench.dir + "/out");
    if (system(("tar -C " + bench.dir + "/out -xzf " + bench.dir + "/archive.tar.gz").c_str()) != 0) exit(1);
}

FILE* open_archive(const Bench& bench) { return fopen((bench.dir + "/archive.tar.gz").c_str(), "wb"); }

// The same bytes read, written and unpacked, nothing checked.
void plain(const Bench& bench, const std::string& image_path) {
    FILE* input = fopen(image_path.c_str(), "rb");
    Bytes bytes(fs::file_size(image_path));
    if (fread(bytes.data(), 1, bytes.size(), input) != bytes.size()) exit(1);
    fclose(input);
    write_archive(open_archive(bench), bytes.data() + IMAGE_HEADER_SIZE, uint32_t(bytes.size() - IMAGE_HEADER_SIZE));
    unpack(bench);
}

// The slot boot's steps: find, read whole with the CRC, the signatures when asked, write, unpack.
void boot(const Bench& bench, const std::string& image_path, bool check_signature) {
    FILE* input = fopen(image_path.c_str(), "rb");
    FoundImage found;
    uint8_t* image = nullptr;
    if (!find_image_header(input, &found) || !read_verified_image(input, found, &image)) exit(1);
    if (check_signature) {
        SignatureRun run = read_signature_run(input, found.position + found.layout.total_len);
        if (check_image_signatures(bench.keys, image, found.layout.total_len, run) != SIGNATURE_GOOD) {
            fprintf(stderr, "boot_bench: the signature did not verify\n");
            exit(1);
        }
    }
    fclose(input);
    write_archive(open_archive(bench), image + found.layout.header_len, found.layout.payload_len);
    free(image);
    unpack(bench);
}

// The signature check alone, on the image already in memory: the signature run read from the file
// and the Ed25519 check (SHA-512 over the whole image).
void check_alone(const Bench& bench, const std::string& signed_path, const Bytes& image) {
    FILE* input = fopen(signed_path.c_str(), "rb");
    SignatureRun run = read_signature_run(input, image.size());
    fclose(input);
    if (check_image_signatures(bench.keys, image.data(), uint32_t(image.size()), run) != SIGNATURE_GOOD) exit(1);
}

template <typename Step>
double best_seconds(int rounds, Step step) {
    double best = 1e9;
    for (int round = 0; round < rounds; round++) {
        auto start = std::chrono::steady_clock::now();
        step();
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = std::max(1, argc > 1 ? atoi(argv[1]) : 7);
    char name[] = "/tmp/bm-boot-bench-XXXXXX";
    Bench bench{mkdtemp(name), {}};
    Bytes seed(ED25519_KEY_SIZE, 0x5E), public_key(ED25519_KEY_SIZE);
    public_key_of(seed.data(), public_key.data());
    add_trusted_key(&bench.keys, public_key.data());

    printf("%-10s  %-10s  %-10s  %-10s  %-10s  %-14s  %s\n", "image", "plain", "boot", "boot+sig", "check",
           "boot+sig/boot", "(boot+check)/boot");
    for (size_t mib : {1, 16, 64}) {
        // an archive of about mib MiB: the image's size
        Bytes archive = application_archive(bench, (mib << 20) * 7 / 4);
        Bytes image = build_image({.type = IMAGE_APPLICATION, .id = 0x01000000}, archive);
        Bytes signed_image;
        if (!sign_package(image, seed.data(), &signed_image).empty()) return 1;
        std::string unsigned_path = bench.dir + "/image", signed_path = bench.dir + "/signed";
        write_file(unsigned_path, image);
        write_file(signed_path, signed_image);
        double plain_s = 1e9, boot_s = 1e9, signed_s = 1e9, check_s = 1e9;
        // the three alternate, so that a busy machine slows each alike
        for (int round = 0; round < rounds; round++) {
            plain_s = std::min(plain_s, best_seconds(1, [&] { plain(bench, unsigned_path); }));
            boot_s = std::min(boot_s, best_seconds(1, [&] { boot(bench, unsigned_path, false); }));
            signed_s = std::min(signed_s, best_seconds(1, [&] { boot(bench, signed_path, true); }));
            check_s = std::min(check_s, best_seconds(1, [&] { check_alone(bench, signed_path, image); }));
        }
        printf("%6.2f MiB  %7.1f ms  %7.1f ms  %7.1f ms  %7.1f ms  x%.3f (%+.1f%%)  x%.3f (%+.1f%%)\n",
               double(image.size()) / (1 << 20), plain_s * 1e3, boot_s * 1e3, signed_s * 1e3, check_s * 1e3,
               signed_s / boot_s, (signed_s / boot_s - 1) * 100, (boot_s + check_s) / boot_s, check_s / boot_s * 100);
        fflush(stdout);
    }
    fs::remove_all(bench.dir);
    return 0;
}

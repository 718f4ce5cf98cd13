// The updater's unpacking of a firmware file (xz, layout, signature) against the command-line tools
// doing the same: xz -dc piped through openssl dgst -sha256 -verify with the same key and signature.
// The file is a 2,000,000-byte xz (the local-file maximum) of a container of about 48 MiB, signed with
// the build's key.
//
// Pair: container_unpack/ours and container_unpack/peer. Goal: at most the peer's time. Ours also
// reports its peak resident memory, measured in a process of its own, beside the container's size:
// it should stay within the container plus 16 MiB.

#include "UnpackFirmware.h"

#include <benchmark/benchmark.h>
#include <lzma.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kContainerSize = 48 << 20;
constexpr size_t kRandomBytes = 1950000;

std::string gSelf;
std::string gFolder;

void writeFile(const std::string& path, const Bytes& bytes)
{
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

Bytes readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// A container whose xz is close to the local-file maximum: incompressible bytes spread through
// zeros. Written as firmware.xz, with the signature and the public key beside it for the peer.
void prepare()
{
    char pattern[] = "/tmp/bench-unpack-XXXXXX";
    gFolder = mkdtemp(pattern);
    Bytes container(kContainerSize, 0);
    std::mt19937 random(5);
    for (size_t i = 0; i < kRandomBytes; ++i) {
        container[368 + (i / 4096) * 100000 + i % 4096] = uint8_t(random());
    }
    const char versions[] = "1.1.0";
    std::copy(versions, versions + 5, container.begin() + 288);
    container[320] = '1', container[321] = '.', container[322] = '0';
    const uint32_t size = uint32_t(kContainerSize - 368);
    for (int i = 0; i < 4; ++i) {
        container[352 + size_t(i)] = uint8_t(size >> (8 * i));
    }

    FILE* keyFile = std::fopen(WRENLET_PRIVATE_KEY, "r");
    EVP_PKEY* key = PEM_read_PrivateKey(keyFile, nullptr, nullptr, nullptr);
    std::fclose(keyFile);
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    size_t signatureLength = 256;
    EVP_DigestSignInit(context, nullptr, EVP_sha256(), nullptr, key);
    EVP_DigestSign(context, container.data(), &signatureLength, container.data() + 256,
                   container.size() - 256);
    EVP_MD_CTX_free(context);
    FILE* publicFile = std::fopen((gFolder + "/public.pem").c_str(), "w");
    PEM_write_PUBKEY(publicFile, key);
    std::fclose(publicFile);
    EVP_PKEY_free(key);
    writeFile(gFolder + "/signature", Bytes(container.begin(), container.begin() + 256));

    Bytes packed(lzma_stream_buffer_bound(container.size()));
    size_t packedSize = 0;
    lzma_easy_buffer_encode(1, LZMA_CHECK_CRC64, nullptr, container.data(), container.size(), packed.data(),
                            &packedSize, packed.size());
    packed.resize(packedSize);
    writeFile(gFolder + "/firmware.xz", packed);
}

// Our peak resident memory for one unpacking, in a fresh process.
double peakResidentMiB()
{
    const pid_t child = fork();
    if (child == 0) {
        execl(gSelf.c_str(), gSelf.c_str(), "--unpack-only", (gFolder + "/firmware.xz").c_str(), nullptr);
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? double(usage.ru_maxrss) / 1024 : -1;
}

void ours(benchmark::State& state)
{
    const Bytes raw = readFile(gFolder + "/firmware.xz");
    for (auto _ : state) {
        const UnpackOutcome outcome = UnpackFirmware(raw);
        if (!std::holds_alternative<UnpackResult::Verified>(outcome)) {
            state.SkipWithError("the container does not verify");
        }
    }
    state.counters["file_bytes"] = double(raw.size());
    state.counters["container_MiB"] = double(kContainerSize) / (1 << 20);
    state.counters["peak_resident_MiB"] = peakResidentMiB();
}

void peer(benchmark::State& state)
{
    const std::string command = "xz -dc " + gFolder +
                                "/firmware.xz | tail -c +257 | openssl dgst -sha256 -verify " + gFolder +
                                "/public.pem -signature " + gFolder + "/signature > /dev/null";
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0) {
            state.SkipWithError("the tools do not verify the container");
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::string(argv[1]) == "--unpack-only") {
        return std::holds_alternative<UnpackResult::Verified>(UnpackFirmware(readFile(argv[2]))) ? 0 : 1;
    }
    gSelf = argv[0];
    prepare();
    benchmark::RegisterBenchmark("container_unpack/ours", ours)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("container_unpack/peer", peer)->Unit(benchmark::kMillisecond);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove_all(gFolder);
    return 0;
}

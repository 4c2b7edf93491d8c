// SHA-256, Blowfish-CBC and key derivation throughput, with OpenSSL as the
// peer where available. Run: crypto_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "crypto/blowfish.h"
#include "crypto/key_derivation.h"
#include "crypto/processor.h"
#include "crypto/sha256.h"

#ifdef TANDREL_BENCH_OPENSSL
#include <openssl/evp.h>
#include <openssl/provider.h>
#endif

namespace {

using tandrel::Sha256;

// Hashing is measured on the message size `openssl speed` reports last;
// the cipher on a buffer large enough to leave the first-level cache.
constexpr std::uint32_t kHashSize = 16 << 10;
constexpr std::uint32_t kCipherSize = 1 << 20;
const char kPassphrase[] = "correct horse battery";
const std::uint8_t kKey[32] = {1, 2, 3};

std::vector<std::uint8_t> buffer(std::uint32_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::uint32_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7);
    return bytes;
}

void setBytes(benchmark::State& state, std::uint32_t size) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * size);
}

void Sha256Hash(benchmark::State& state, Sha256::Compression compression,
                Sha256::ByteSwap byteSwap) {
    if (compression == Sha256::Compression::ShaExtensions &&
        !tandrel::processorHasShaExtensions()) {
        state.SkipWithError("processor without the SHA extensions");
        return;
    }
    const auto data = buffer(kHashSize);
    std::uint8_t digest[32];
    for (auto _ : state) {
        Sha256 hasher(compression, byteSwap);
        hasher.reset();
        hasher.update(data.data(), kHashSize);
        hasher.final(digest);
        benchmark::DoNotOptimize(digest);
    }
    setBytes(state, kHashSize);
}

void BlowfishCbc(benchmark::State& state, bool encrypt) {
    const auto data = buffer(kCipherSize);
    std::vector<std::uint8_t> out(kCipherSize);
    tandrel::BlowfishCipher cipher;
    cipher.chained = 1;
    cipher.setKey(kKey, 32);
    for (auto _ : state) {
        if (encrypt) {
            cipher.encryptBuffer(data.data(), out.data(), kCipherSize);
        } else {
            cipher.decryptBuffer(data.data(), out.data(), kCipherSize);
        }
        benchmark::ClobberMemory();
    }
    setBytes(state, kCipherSize);
}

void DeriveKey(benchmark::State& state) {
    const std::uint8_t digest[32] = {};
    std::uint8_t key[32];
    for (auto _ : state) {
        tandrel::deriveKey(kPassphrase, 0x12345678, digest, key);
        benchmark::DoNotOptimize(key);
    }
}

BENCHMARK_CAPTURE(Sha256Hash, PortableScalar, Sha256::Compression::Portable,
                  Sha256::ByteSwap::Scalar);
BENCHMARK_CAPTURE(Sha256Hash, PortableSse2, Sha256::Compression::Portable,
                  Sha256::ByteSwap::Sse2);
BENCHMARK_CAPTURE(Sha256Hash, ShaExtensions, Sha256::Compression::ShaExtensions,
                  Sha256::ByteSwap::Automatic);
BENCHMARK_CAPTURE(BlowfishCbc, Encrypt, true);
BENCHMARK_CAPTURE(BlowfishCbc, Decrypt, false);
BENCHMARK(DeriveKey);

#ifdef TANDREL_BENCH_OPENSSL
void OpenSslSha256(benchmark::State& state) {
    const auto data = buffer(kHashSize);
    unsigned char digest[32];
    for (auto _ : state) {
        EVP_Digest(data.data(), kHashSize, digest, nullptr, EVP_sha256(), nullptr);
        benchmark::DoNotOptimize(digest);
    }
    setBytes(state, kHashSize);
}

void OpenSslBlowfishCbc(benchmark::State& state, bool encrypt) {
    OSSL_PROVIDER_load(nullptr, "default");
    if (OSSL_PROVIDER_load(nullptr, "legacy") == nullptr) {
        state.SkipWithError("OpenSSL legacy provider unavailable");
        return;
    }
    EVP_CIPHER* bf = EVP_CIPHER_fetch(nullptr, "BF-CBC", nullptr);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    const unsigned char iv[8] = {};
    const int direction = encrypt ? 1 : 0;
    EVP_CipherInit_ex(ctx, bf, nullptr, nullptr, nullptr, direction);
    EVP_CIPHER_CTX_set_key_length(ctx, 32);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    const auto data = buffer(kCipherSize);
    std::vector<unsigned char> out(kCipherSize);
    for (auto _ : state) {
        // Re-initialising restarts the chain from the zero vector, as ours does.
        EVP_CipherInit_ex(ctx, nullptr, nullptr, kKey, iv, direction);
        int written = 0;
        EVP_CipherUpdate(ctx, out.data(), &written, data.data(), static_cast<int>(kCipherSize));
        benchmark::DoNotOptimize(out.data());
    }
    setBytes(state, kCipherSize);
    EVP_CIPHER_CTX_free(ctx);
    EVP_CIPHER_free(bf);
}

// The same 1024 passes over the same 64-byte message, through OpenSSL.
void OpenSslDeriveKeyEquivalent(benchmark::State& state) {
    std::uint8_t message[64] = {};
    unsigned char key[32];
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    for (auto _ : state) {
        EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
        for (int i = 0; i < 1024; ++i) EVP_DigestUpdate(ctx, message, sizeof message);
        EVP_DigestFinal_ex(ctx, key, nullptr);
        benchmark::DoNotOptimize(key);
    }
    EVP_MD_CTX_free(ctx);
}

BENCHMARK(OpenSslSha256);
BENCHMARK_CAPTURE(OpenSslBlowfishCbc, Encrypt, true);
BENCHMARK_CAPTURE(OpenSslBlowfishCbc, Decrypt, false);
BENCHMARK(OpenSslDeriveKeyEquivalent);
#endif

}  // namespace

BENCHMARK_MAIN();

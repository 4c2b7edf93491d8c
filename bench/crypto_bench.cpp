// SHA-256, Blowfish-CBC and key derivation throughput, with OpenSSL as the
// peer where available. Run: crypto_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "crypto/blowfish.h"
#include "crypto/key_derivation.h"
#include "crypto/sha256.h"

#ifdef TANDREL_BENCH_OPENSSL
#include <openssl/evp.h>
#include <openssl/provider.h>
#endif

namespace {

using tandrel::Sha256;

constexpr std::uint32_t kBufferSize = 1 << 20;
const char kPassphrase[] = "correct horse battery";

std::vector<std::uint8_t> buffer() {
    std::vector<std::uint8_t> bytes(kBufferSize);
    for (std::uint32_t i = 0; i < kBufferSize; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7);
    return bytes;
}

void hashWith(benchmark::State& state, Sha256::ByteSwap variant) {
    const auto data = buffer();
    std::uint8_t digest[32];
    for (auto _ : state) {
        Sha256 hasher(variant);
        hasher.reset();
        hasher.update(data.data(), kBufferSize);
        hasher.final(digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kBufferSize);
}

void Sha256Scalar(benchmark::State& state) { hashWith(state, Sha256::ByteSwap::Scalar); }
void Sha256Sse2(benchmark::State& state) { hashWith(state, Sha256::ByteSwap::Sse2); }

void BlowfishCbcEncrypt(benchmark::State& state) {
    auto data = buffer();
    const std::uint8_t key[32] = {1, 2, 3};
    tandrel::BlowfishCipher cipher;
    cipher.chained = 1;
    cipher.setKey(key, 32);
    for (auto _ : state) {
        cipher.encryptBuffer(data.data(), data.data(), kBufferSize);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kBufferSize);
}

void DeriveKey(benchmark::State& state) {
    const std::uint8_t digest[32] = {};
    std::uint8_t key[32];
    for (auto _ : state) {
        tandrel::deriveKey(kPassphrase, 0x12345678, digest, key);
        benchmark::DoNotOptimize(key);
    }
}

BENCHMARK(Sha256Scalar);
BENCHMARK(Sha256Sse2);
BENCHMARK(BlowfishCbcEncrypt);
BENCHMARK(DeriveKey);

#ifdef TANDREL_BENCH_OPENSSL
void OpenSslSha256(benchmark::State& state) {
    const auto data = buffer();
    unsigned char digest[32];
    for (auto _ : state) {
        EVP_Digest(data.data(), kBufferSize, digest, nullptr, EVP_sha256(), nullptr);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kBufferSize);
}

void OpenSslBlowfishCbcEncrypt(benchmark::State& state) {
    OSSL_PROVIDER_load(nullptr, "default");
    if (OSSL_PROVIDER_load(nullptr, "legacy") == nullptr) {
        state.SkipWithError("OpenSSL legacy provider unavailable");
        return;
    }
    EVP_CIPHER* bf = EVP_CIPHER_fetch(nullptr, "BF-CBC", nullptr);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    const unsigned char key[32] = {1, 2, 3};
    const unsigned char iv[8] = {};
    EVP_EncryptInit_ex(ctx, bf, nullptr, nullptr, nullptr);
    EVP_CIPHER_CTX_set_key_length(ctx, 32);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    auto data = buffer();
    std::vector<unsigned char> out(kBufferSize);
    for (auto _ : state) {
        // Re-initialising restarts the chain from the zero vector, as ours does.
        EVP_EncryptInit_ex(ctx, nullptr, nullptr, key, iv);
        int written = 0;
        EVP_EncryptUpdate(ctx, out.data(), &written, data.data(), static_cast<int>(kBufferSize));
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kBufferSize);
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
BENCHMARK(OpenSslBlowfishCbcEncrypt);
BENCHMARK(OpenSslDeriveKeyEquivalent);
#endif

}  // namespace

BENCHMARK_MAIN();

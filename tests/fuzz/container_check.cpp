// The reader over an exact-size copy of the input, held against a literal
// reading of the layout; then the whole decrypt mode over the same bytes as
// a file, with the working folder looked at afterwards.
#include <cstring>
#include <memory>
#include <string_view>

#include "config/passphrase_config.h"
#include "container/container_format.h"
#include "container/operations.h"
#include "crypto/sha256.h"
#include "fuzz/checks.h"
#include "fuzz/scratch.h"

namespace tandrel::fuzz {
namespace {

// Bytes past the end read as zero, as the reader treats them when telling
// plain from encrypted.
std::uint32_t word(const std::uint8_t* data, std::size_t size, std::size_t at) {
    std::uint32_t value = 0;
    for (std::size_t i = 4; i-- > 0;) value = value << 8 | (at + i < size ? data[at + i] : 0u);
    return value;
}

// The layout read field by field: 56 header bytes, the two NUL-terminated
// names, then the ciphertext of the plaintext extended by 1 to 8 bytes.
struct Layout {
    bool plain = false;
    bool sound = false;  // every field inside the file, and a plaintext at all
    std::uint32_t plainLen = 0, salt = 0, nameLen = 0, projectLen = 0;
    std::uint64_t projectAt = 0, cipherAt = 0, padded = 0;
    std::string name, project;
};

std::string textOf(const std::uint8_t* data, std::uint64_t at) {
    return reinterpret_cast<const char*>(data + at);
}

Layout layoutOf(const std::uint8_t* data, std::size_t size) {
    Layout layout;
    const std::uint8_t signature[4] = {'T', 'D', 'L', 1};
    layout.plain = size < 4 || std::memcmp(data, signature, 4) != 0 || word(data, size, 4) != 0;
    if (layout.plain || size < 56) return layout;
    layout.plainLen = word(data, size, 8);
    layout.salt = word(data, size, 12);
    layout.nameLen = word(data, size, 48);
    layout.projectLen = word(data, size, 52);
    layout.projectAt = 56 + std::uint64_t{layout.nameLen};
    layout.cipherAt = layout.projectAt + layout.projectLen;
    layout.padded = std::uint64_t{layout.plainLen} + 8 - layout.plainLen % 8;
    const auto holdsText = [&](std::uint64_t at, std::uint32_t length) {
        return length > 0 && at + length <= size && std::memchr(data + at, 0, length) != nullptr;
    };
    layout.sound = layout.plainLen > 0 && holdsText(56, layout.nameLen) &&
                   holdsText(layout.projectAt, layout.projectLen) &&
                   layout.cipherAt + layout.padded <= size;
    if (layout.sound) {
        layout.name = textOf(data, 56);
        layout.project = textOf(data, layout.projectAt);
    }
    return layout;
}

std::string readingFault(const std::uint8_t* data, std::size_t size, ContainerKind kind,
                         const ContainerView& view) {
    const Layout layout = layoutOf(data, size);
    const ContainerKind expected = layout.plain   ? ContainerKind::Plain
                                   : layout.sound ? ContainerKind::Encrypted
                                                  : ContainerKind::Damaged;
    if (kind != expected) {
        return "read as kind " + std::to_string(static_cast<int>(kind)) + ", the layout gives " +
               std::to_string(static_cast<int>(expected));
    }
    if (kind != ContainerKind::Encrypted) return {};
    const ContainerHeader& header = view.header;
    if (header.plainLen != layout.plainLen || header.salt != layout.salt ||
        header.nameLen != layout.nameLen || header.projectLen != layout.projectLen ||
        std::memcmp(header.digest, data + 16, 32) != 0) {
        return "the header's fields differ from the file's";
    }
    if (view.name != layout.name || view.project != layout.project) return "the names differ from the file's";
    if (view.ciphertext != data + layout.cipherAt || view.paddedLen != layout.padded) {
        return "the ciphertext is not where the layout puts it";
    }
    return {};
}

bool isDigestOf(const std::string& bytes, const std::uint8_t* digest) {
    Sha256 hasher;
    hasher.reset();
    hasher.update(reinterpret_cast<const std::uint8_t*>(bytes.data()), static_cast<std::uint32_t>(bytes.size()));
    std::uint8_t computed[32];
    hasher.final(computed);
    return std::memcmp(computed, digest, sizeof computed) == 0;
}

// A restored file bears the last component of the stored name and is the
// plaintext the header's digest describes.
std::string restoredFault(const std::set<std::string>& outputs, const ContainerView& view) {
    if (outputs.size() != 1) return std::to_string(outputs.size()) + " files restored";
    const std::string& name = *outputs.begin();
    const bool lastComponent =
        view.name.ends_with(name) &&
        (name.size() == view.name.size() ||
         std::string_view("/\\:").find(view.name[view.name.size() - name.size() - 1]) != std::string_view::npos);
    if (!lastComponent) {
        return "restored as \"" + name + "\" from the stored name \"" + view.name + "\"";
    }
    const std::string restored = test::readBytes(Scratch::get().work() / name);
    if (restored.size() != view.header.plainLen || !isDigestOf(restored, view.header.digest)) {
        return "the restored file is not the plaintext the header describes";
    }
    return {};
}

std::string decryptingFault(const std::string& image, ContainerKind kind, const ContainerView& view,
                            int status, const std::string& printed) {
    const Scratch& scratch = Scratch::get();
    if (status != 0 && status != 2 && status != 3) return "status " + std::to_string(status);
    if (const std::string stray = scratch.strayEntries(); !stray.empty()) {
        return "written outside the working folder:" + stray;
    }
    if (entriesOf(scratch.input()) != std::set<std::string>{"image"} ||
        test::readBytes(scratch.input() / "image") != image) {
        return "the input was changed";
    }
    if (status == 0 && !printed.empty()) return "printed on success: " + printed;
    const auto outputs = entriesOf(scratch.work());
    if (kind == ContainerKind::Plain && !image.empty()) {
        const bool copied = status == 0 && outputs == std::set<std::string>{"script.znc"} &&
                            test::readBytes(scratch.work() / "script.znc") == image;
        return copied ? std::string() : "a plain file was not copied to script.znc";
    }
    if (kind == ContainerKind::Encrypted && status == 0) return restoredFault(outputs, view);
    return outputs.empty() ? std::string() : "a rejected file left \"" + *outputs.begin() + "\"";
}

}  // namespace

std::string checkContainer(const std::uint8_t* data, std::size_t size) {
    if (size > UINT32_MAX) return {};
    // An exact-size copy, so that the sanitizer sees any read past the end.
    const auto exact = std::make_unique<std::uint8_t[]>(size);
    std::memcpy(exact.get(), data, size);
    ContainerView view;
    const ContainerKind kind = readContainer(exact.get(), static_cast<std::uint32_t>(size), view);
    if (std::string fault = readingFault(exact.get(), size, kind, view); !fault.empty()) return fault;

    Scratch& scratch = Scratch::get();
    scratch.configure(scratch.passphraseFile());
    const std::string image(reinterpret_cast<const char*>(data), size);
    const fs::path imagePath = scratch.input() / "image";
    test::writeBytes(imagePath, image);
    int status = -1;
    const std::string printed = test::capturedOutput([&] {
        const PassphraseConfig config(kSettingsKeyPath);
        const CurrentFolder inWork(scratch.work());
        status = decryptFile(config, imagePath.string().c_str());
    });
    std::string fault = decryptingFault(image, kind, view, status, printed);
    scratch.clearWork();
    return fault;
}

}  // namespace tandrel::fuzz

#include "trust/sealed_log.hpp"

#include <sodium.h>

#include <cerrno>
#include <string>
#include <vector>

#include "base/descriptors.hpp"
#include "base/format_text.hpp"
#include "tarvex_constants.hpp"

static_assert(crypto_box_PUBLICKEYBYTES == std::tuple_size<decltype(LogKey::key)>::value);

namespace {

Result<Done, int> writeBytes(int fd, const unsigned char* data, size_t size) {
    return writeAll(fd, reinterpret_cast<const char*>(data), size);
}

// The stream key and the state that derives from it, wiped however the
// sealing ends.
struct StreamSecrets {
    unsigned char key[crypto_secretstream_xchacha20poly1305_KEYBYTES]{};
    crypto_secretstream_xchacha20poly1305_state state{};
    StreamSecrets() = default;
    StreamSecrets(const StreamSecrets&) = delete;
    StreamSecrets& operator=(const StreamSecrets&) = delete;
    ~StreamSecrets() {
        sodium_memzero(key, sizeof key);
        sodium_memzero(&state, sizeof state);
    }
};

// The header line, the sealed stream key and the stream's header.
Result<Done, int> startStream(int to, const LogKey& logKey, StreamSecrets& secrets) {
    const std::string header =
        formatText(tarvex::kSealedLogHeader, keyIdText(logKey.keyId).c_str());
    unsigned char sealedKey[crypto_box_SEALBYTES + sizeof secrets.key];
    unsigned char streamHeader[crypto_secretstream_xchacha20poly1305_HEADERBYTES];
    crypto_secretstream_xchacha20poly1305_keygen(secrets.key);
    if (crypto_box_seal(sealedKey, secrets.key, sizeof secrets.key, logKey.key.data()) != 0 ||
        crypto_secretstream_xchacha20poly1305_init_push(&secrets.state, streamHeader,
                                                        secrets.key) != 0) {
        return Refusal<int>{EIO};
    }
    auto written = writeAll(to, header.data(), header.size());
    if (written) {
        written = writeBytes(to, sealedKey, sizeof sealedKey);
    }
    if (written) {
        written = writeBytes(to, streamHeader, sizeof streamHeader);
    }
    return written;
}

}  // namespace

Result<Done, int> sealLog(int from, int to, const LogKey& key) {
    // Needed for the random stream key; fails only without a source of
    // randomness, and then nothing is written at all.
    if (sodium_init() < 0) {
        return Refusal<int>{EIO};
    }
    StreamSecrets secrets;
    const auto started = startStream(to, key, secrets);
    if (!started) {
        return started;
    }
    std::vector<unsigned char> plain(tarvex::kSealedLogChunkBytes);
    std::vector<unsigned char> sealed(tarvex::kSealedLogChunkBytes +
                                      crypto_secretstream_xchacha20poly1305_ABYTES);
    for (;;) {
        const auto read = readUpTo(from, reinterpret_cast<char*>(plain.data()), plain.size());
        if (!read) {
            return Refusal<int>{read.why()};
        }
        const size_t got = *read;
        // Only a short chunk is the last: its tag tells an opener that
        // nothing was cut off after it.
        const bool last = got < plain.size();
        unsigned long long sealedSize = 0;
        if (crypto_secretstream_xchacha20poly1305_push(
                &secrets.state, sealed.data(), &sealedSize, plain.data(),
                static_cast<unsigned long long>(got), nullptr, 0,
                last ? crypto_secretstream_xchacha20poly1305_TAG_FINAL : 0) != 0) {
            return Refusal<int>{EIO};
        }
        const auto written = writeBytes(to, sealed.data(), static_cast<size_t>(sealedSize));
        if (!written || last) {
            return written;
        }
    }
}

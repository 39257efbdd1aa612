#include "basics/id_hash.hpp"

#include <sys/random.h>

#include <chrono>
#include <cstddef>

namespace tarnu {

namespace {

// splitmix64: turns a weak seed into well-spread key words.
std::uint64_t spread(std::uint64_t& state) noexcept {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

// Random words from the kernel, which opens no file. Should it refuse (a
// kernel without getrandom, or its pool not ready this early after boot), the
// clock and addresses that vary from process to process stand in: weaker,
// but still not known in advance to whoever chooses the ids.
IdHashKey make_key() noexcept {
    IdHashKey key{};
    std::size_t got = 0;
    auto* bytes = reinterpret_cast<unsigned char*>(&key);
    while (got < sizeof key) {
        const ssize_t n = getrandom(bytes + got, sizeof key - got, GRND_NONBLOCK);
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    if (got < sizeof key) {
        std::uint64_t state = static_cast<std::uint64_t>(
                                  std::chrono::high_resolution_clock::now().time_since_epoch().count()) ^
                              reinterpret_cast<std::uintptr_t>(&key) ^
                              (reinterpret_cast<std::uintptr_t>(&make_key) << 17);
        key = IdHashKey{spread(state), spread(state), spread(state), spread(state)};
    }
    return key;
}

}  // namespace

const IdHashKey id_hash_key = make_key();

}  // namespace tarnu

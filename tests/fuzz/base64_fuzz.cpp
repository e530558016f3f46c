// The lenient Base64 decoder on any input and any room, checked against its
// own counting mode; and the encoder's round trip and size bound.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "conn/auth/base64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const char* text = reinterpret_cast<const char*>(data + 1);
    const int len = int(size - 1);

    // Counting only, then into exactly that room, then into a smaller one.
    int counted = 0;
    Base64Decode(text, len, nullptr, &counted);
    if (counted < 0 || counted > len) std::abort();
    std::vector<unsigned char> full(size_t(counted) + 1);
    int room = counted;
    if (!Base64Decode(text, len, full.data(), &room) || room != counted) std::abort();
    const int smaller = counted > 0 ? data[0] % counted : 0;
    std::vector<unsigned char> part(size_t(smaller) + 1, 0xEE);
    room = smaller;
    const bool fitted = Base64Decode(text, len, part.data(), &room);
    if (room != counted || fitted != (smaller >= counted)) std::abort();
    // What was stored is what the full decoding has at the same place.
    for (int i = 0; i < smaller; ++i) {
        if (part[size_t(i)] != 0xEE && part[size_t(i)] != full[size_t(i)]) std::abort();
    }
    if (part[size_t(smaller)] != 0xEE) std::abort();   // nothing past the room

    // Encode the raw input with the flags of the first byte and read it back.
    const uint32_t flags = data[0] & 3;
    const int need = Base64EncodeGetRequiredLength(len, flags);
    std::vector<char> encoded(size_t(need) + 1);
    int written = need;
    if (!Base64Encode(data + 1, len, encoded.data(), &written, flags) || written > need) std::abort();
    std::vector<unsigned char> back(size_t(len) + 3);
    room = int(back.size());
    if (!Base64Decode(encoded.data(), written, back.data(), &room) || room != len) std::abort();
    if (len && std::memcmp(back.data(), data + 1, size_t(len)) != 0) std::abort();
    return 0;
}

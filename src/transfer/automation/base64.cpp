#include "transfer/automation/base64.hpp"

namespace tarlowen {

Text Base64Encode(const ByteSet& data) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    Text encoded;
    encoded.reserve((data.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < data.size(); i += 3) {
        const std::size_t remaining = data.size() - i;
        const unsigned b0 = data[i];
        const unsigned b1 = remaining > 1 ? data[i + 1] : 0U;
        const unsigned b2 = remaining > 2 ? data[i + 2] : 0U;
        encoded.push_back(kAlphabet[b0 >> 2]);
        encoded.push_back(kAlphabet[((b0 & 3U) << 4) | (b1 >> 4)]);
        encoded.push_back(remaining > 1 ? kAlphabet[((b1 & 15U) << 2) | (b2 >> 6)] : '=');
        encoded.push_back(remaining > 2 ? kAlphabet[b2 & 63U] : '=');
    }
    return encoded;
}

}  // namespace tarlowen

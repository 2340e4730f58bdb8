// MD5 (RFC 1321) and HMAC-MD5 (RFC 2104) for the CRAM-MD5 login (RFC 2195).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace zelmar::mail {

class Md5 {
public:
    Md5();
    void update(std::string_view data);
    std::array<std::uint8_t, 16> finish();
    static std::array<std::uint8_t, 16> digest(std::string_view data);

private:
    void block(const std::uint8_t* p);
    std::uint32_t s_[4];
    std::uint64_t length_ = 0;
    std::uint8_t buf_[64];
    std::size_t used_ = 0;
};

class HmacMD5 {
public:
    static std::array<std::uint8_t, 16> mac(std::string_view key, std::string_view message);
    // 32 lower-case hexadecimal digits.
    static std::string hexMac(std::string_view key, std::string_view message);
};

std::string toLowerHex(const std::uint8_t* bytes, std::size_t size);

}  // namespace zelmar::mail

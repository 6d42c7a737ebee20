// One reply from Redis as a plain value (hiredis's reply tree copied out).
#pragma once

#include <string>
#include <vector>

namespace murva {

struct RedisReply {
    enum class Type { Nil, Status, Error, Integer, String, Array };
    Type type = Type::Nil;
    long long integer = 0;            // Integer
    std::string text;                 // Status, Error, String (binary-safe)
    std::vector<RedisReply> elements; // Array

    bool isError() const { return type == Type::Error; }
};

} // namespace murva

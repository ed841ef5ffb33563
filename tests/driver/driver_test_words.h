#pragma once
// Word lists written as the hex texts a frame carries.

#include <initializer_list>

#include "camp_nitp.h"

inline Words wordsOf(std::initializer_list<const char*> texts)
{
    Words words;
    for (const char* text : texts) {
        words.push_back(static_cast<quint16>(QByteArray(text).toUInt(nullptr, 16)));
    }
    return words;
}

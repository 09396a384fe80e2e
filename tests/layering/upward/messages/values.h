#pragma once

#include <string>

struct Values
{
    std::string text;
};

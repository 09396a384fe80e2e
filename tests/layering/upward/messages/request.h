#pragma once

#include "console/record.h"

struct Request
{
    Record record;
};

#pragma once

#include "messages/values.h"

struct Record
{
    Values values;
};

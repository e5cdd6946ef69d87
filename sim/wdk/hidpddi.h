#pragma once
#include "hidpi.h"

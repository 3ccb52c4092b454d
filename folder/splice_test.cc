#include "folder/splice.h"

#include <gtest/gtest.h>

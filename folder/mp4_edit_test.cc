#include "folder/mp4_edit.h"

#include <gtest/gtest.h>

#include "folder/flac_edit.h"

#include <gtest/gtest.h>

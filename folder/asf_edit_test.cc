#include "folder/asf_edit.h"

#include <gtest/gtest.h>

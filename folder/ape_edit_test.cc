#include "folder/ape_edit.h"

#include <gtest/gtest.h>

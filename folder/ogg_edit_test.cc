#include "folder/ogg_edit.h"

#include <gtest/gtest.h>

#include "folder/vorbis_comment.h"

#include <gtest/gtest.h>

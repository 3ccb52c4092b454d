#include "folder/mpeg_audio.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "testing/id3_builder.h"
#include "testing/temp_folder.h"

namespace {

const std::string kMp3 =
    std::string(KESTRUNE_SAMPLE_LIBRARY) + "/Pink Floyd/The Wall/01 In the Flesh.mp3";

// Audio that ffmpeg makes at run time; empty without ffmpeg.
std::string Encoded(const TempFolder& folder, const std::string& codec, const std::string& name) {
  const std::string path = folder.Path() + "/" + name;
  const std::string command = "ffmpeg -v quiet -y -f lavfi -i sine=d=0.5 -c:a " + codec + " '" +
                              path + "' </dev/null >/dev/null 2>&1";
  return std::system(command.c_str()) == 0 ? FileContent(path) : std::string();
}

bool Check(const std::string& file, bool adts, std::string& reason) {
  const StringSource source(file);
  return CheckMpegAudio(source, 0, AudioEnd(source), adts, reason);
}

// Every cut inside a frame shows: the last frame runs past the end. A cut
// on a frame's boundary leaves a shorter file that is whole.
TEST(CheckMpegAudio, FindsEveryCutInsideAFrame) {
  TempFolder folder;
  const std::string mp3 = AudioAfterTag(FileContent(kMp3));
  const std::string aac = Encoded(folder, "aac", "a.aac");
  for (const auto& [audio, adts] : {std::pair{mp3, false}, std::pair{aac, true}}) {
    if (audio.empty()) continue;  // no ffmpeg
    std::string reason;
    ASSERT_TRUE(Check(audio, adts, reason)) << reason;
    // With tags after it, and junk between frames.
    const std::string id3v1 = "TAG" + std::string(125, 'x');
    const std::size_t first = FrameLength(audio, 0, adts);
    ASSERT_GT(first, 0u);
    EXPECT_TRUE(Check(audio + id3v1, adts, reason)) << reason;
    EXPECT_TRUE(
        Check(audio.substr(0, first) + std::string(37, '\0') + audio.substr(first), adts, reason))
        << reason;
    std::size_t boundary = 0;
    for (std::size_t cut = 1; cut < audio.size(); ++cut) {
      if (cut == boundary + FrameLength(audio, boundary, adts)) {
        boundary = cut;
        EXPECT_TRUE(Check(audio.substr(0, cut), adts, reason)) << cut;
        continue;
      }
      ASSERT_FALSE(Check(audio.substr(0, cut) + id3v1, adts, reason))
          << (adts ? "aac " : "mp3 ") << cut;
      EXPECT_EQ(reason,
                cut < 7 ? "it holds no audio frames" : "the file is cut short inside its audio");
    }
  }
  std::string reason;
  EXPECT_FALSE(Check("plain text, no frames at all", false, reason));
  EXPECT_EQ(reason, "it holds no audio frames");
}

TEST(CheckTtaAudio, FindsCutsAndDamagedHeaders) {
  TempFolder folder;
  const std::string tta = Encoded(folder, "tta", "a.tta");
  if (tta.empty()) GTEST_SKIP() << "no ffmpeg";
  std::string reason;
  // ffmpeg puts an APE tag after the audio.
  const std::uint64_t end = AudioEnd(StringSource(tta));
  ASSERT_LT(end, tta.size());
  EXPECT_TRUE(CheckTtaAudio(StringSource(tta), 0, end, reason)) << reason;
  for (std::uint64_t cut :
       {std::uint64_t{10}, std::uint64_t{21}, std::uint64_t{30}, end / 2, end - 1}) {
    const std::string cutShort = tta.substr(0, static_cast<std::size_t>(cut));
    EXPECT_FALSE(CheckTtaAudio(StringSource(cutShort), 0, cut, reason)) << cut;
  }
  std::string damaged = tta;
  damaged[12] ^= 1;
  EXPECT_FALSE(CheckTtaAudio(StringSource(damaged), 0, damaged.size(), reason));
  EXPECT_EQ(reason, "its TTA header has a wrong checksum");
}

}  // namespace

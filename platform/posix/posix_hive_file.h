// A SYSTEM hive file on disk, brought into a file of this process's own (in
// memory where the system allows): read once (a regular file, a pipe or a
// device alike), brought up to date from its transaction logs as Windows
// does when it loads it, and written back whole to a new file that replaces
// the old one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "hive/hive_logs.h"

struct HiveImage {
    std::string path;       // FILE as typed
    std::string real_path;  // where FILE leads, links resolved; what /c writes
    // The hive as Windows would load it, in a file nobody else writes, and
    // the name it is opened by (for hivex).
    int fd = -1;
    std::string name;
    std::size_t size = 0;
    HiveRecovery recovery{HiveState::clean, 0, 0};
};

// Reads FILE: the base block, then no more than the hive bins its header
// declares, and the logs beside it when the hive is dirty. With `write`
// (for /c), FILE must lead to a regular file of one name that the user may
// write, checked before anything is read. Gives 0 or the body's code; a
// hive that stays dirty is no failure here (recovery.state tells).
std::uint32_t read_hive_file(const std::string& path, bool write, HiveImage* image);

// The image's bytes, with room to grow by `room`, for a change.
std::uint32_t image_bytes(const HiveImage& image, std::size_t room, std::vector<unsigned char>* bytes);

// Writes `bytes` to a new file beside the real file, with the sequence
// numbers above every number the file and its logs hold, the real file's
// mode, owner, group and extended attributes, and renames it over the real
// file; then they are the image. At every instant the real file is the old
// hive or the new one.
std::uint32_t write_hive_file(HiveImage* image, std::vector<unsigned char>* bytes);

void release_hive_image(HiveImage* image);

// SHA-256 text of bytes and of files, against known digests.
#include "update/Digest.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

using namespace mirovan;
namespace fs = std::filesystem;

TEST(Digest, KnownValuesAsLowercaseHex) {
    EXPECT_EQ(sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(sha256Hex(std::string_view("a\0b", 3)), sha256Hex(std::string("a\0b", 3)));
}

TEST(Digest, FileDigestMatchesItsBytesAcrossReadBoundaries) {
    fs::path dir = fs::temp_directory_path() / ("mirovan-digest-" + std::to_string(getpid()));
    fs::create_directories(dir);
    // Just over two read buffers, so the last read is short and every byte still counts.
    std::string bytes((2 << 20) + 17, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 131 % 251);
    std::ofstream(dir / "big", std::ios::binary) << bytes;
    std::ofstream(dir / "empty", std::ios::binary);
    EXPECT_EQ(sha256OfFile((dir / "big").string()), sha256Hex(bytes));
    EXPECT_EQ(sha256OfFile((dir / "empty").string()), sha256Hex(""));
    EXPECT_EQ(sha256OfFile((dir / "missing").string()), std::nullopt);
    EXPECT_EQ(sha256OfFile(dir.string()), std::nullopt);  // a folder cannot be read as bytes
    fs::remove_all(dir);
}

// SHA-256 text of bytes and of files, against known digests.
#include "update/Digest.h"

#include "BundleKit.h"

using namespace mirovan;
using namespace kit;

TEST(Digest, KnownValuesAsLowercaseHexForBytesAndFiles) {
    EXPECT_EQ(sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

    fs::path dir = scratch("digest");
    // Just over two read buffers, so the last read is short and every byte still counts.
    std::string bytes((2 << 20) + 17, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 131 % 251);
    put(dir / "big", bytes);
    put(dir / "empty", "");
    EXPECT_EQ(sha256OfFile((dir / "big").string()), sha256Hex(bytes));
    EXPECT_EQ(sha256OfFile((dir / "empty").string()), sha256Hex(""));
    EXPECT_EQ(sha256OfFile((dir / "missing").string()), std::nullopt);
    EXPECT_EQ(sha256OfFile(dir.string()), std::nullopt);  // a folder cannot be read as bytes
    fs::remove_all(dir);
}

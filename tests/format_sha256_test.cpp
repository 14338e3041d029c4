// SHA-256 on each route, held against the published examples and against
// coreutils' sha256sum, an implementation written elsewhere.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "format/sha256.h"
#include "support/run_tool.h"

namespace {

using morvik::Sha256Route;
using morvik_test::PatternBytes;
using morvik_test::TempDir;

const char kSha256sum[] = "/usr/bin/sha256sum";

struct NamedRoute {
    const char* name;
    Sha256Route route;
};

const NamedRoute kRoutes[] = {{"portable", Sha256Route::kPortable}, {"sha_extensions", Sha256Route::kShaExtensions}};

// The digest of `data` fed in pieces that end at each of `cuts` (ascending).
std::string HashInPieces(Sha256Route route, const uint8_t* data, size_t length, const std::vector<size_t>& cuts = {}) {
    morvik::Sha256 hash;
    morvik::Sha256InitRoute(&hash, route);
    size_t at = 0;
    for (size_t cut : cuts) {
        morvik::Sha256Update(&hash, data + at, cut - at);
        at = cut;
    }
    morvik::Sha256Update(&hash, data + at, length - at);
    return morvik::Sha256Hex(morvik::Sha256Final(&hash));
}

// Every length to 300 (each padding case, one and two final blocks) and a
// few long ones.
std::vector<size_t> OracleLengths() {
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 300; ++n) lengths.push_back(n);
    for (size_t n : {4095, 4096, 65536 + 55, 65536 + 56, (1 << 20) + 13}) lengths.push_back(n);
    return lengths;
}

// sha256sum of the first n bytes of `data` for each of `lengths`, in one run of it.
std::map<size_t, std::string> Sha256sumOfPrefixes(const std::vector<uint8_t>& data,
                                                  const std::vector<size_t>& lengths) {
    TempDir dir;
    std::vector<std::string> args = {kSha256sum};
    for (size_t n : lengths) {
        args.push_back(dir / std::to_string(n));
        morvik_test::WriteFile(args.back(), std::vector<uint8_t>(data.begin(), data.begin() + n));
    }
    morvik_test::RunResult run = morvik_test::RunProgram(kSha256sum, args);
    EXPECT_EQ(run.status, 0) << run.err;
    std::map<size_t, std::string> digests;
    for (const std::string& line : morvik_test::Lines(run.out)) {
        size_t slash = line.rfind('/');
        if (line.size() > 64 && slash != std::string::npos)
            digests[std::stoul(line.substr(slash + 1))] = line.substr(0, 64);
    }
    EXPECT_EQ(digests.size(), lengths.size()) << run.out;
    return digests;
}

class Sha256OnRoute : public testing::TestWithParam<NamedRoute> {
protected:
    void SetUp() override {
        if (!morvik::Sha256RouteRuns(GetParam().route))
            GTEST_SKIP() << "this processor cannot run the " << GetParam().name << " route";
    }
};

INSTANTIATE_TEST_SUITE_P(Routes, Sha256OnRoute, testing::ValuesIn(kRoutes),
                         [](const testing::TestParamInfo<NamedRoute>& info) { return std::string(info.param.name); });

TEST_P(Sha256OnRoute, PublishedExamples) {
    // clang-format off
    const struct {
        std::string message;
        const char* digest;
    } examples[] = {
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    };
    // clang-format on
    for (const auto& e : examples) {
        auto* p = reinterpret_cast<const uint8_t*>(e.message.data());
        EXPECT_EQ(HashInPieces(GetParam().route, p, e.message.size()), e.digest) << e.message.size() << " bytes";
    }
}

// Each length from several start addresses within a 64-byte line, whole and
// cut into two pieces at many points (every point for the short ones).
TEST_P(Sha256OnRoute, MatchesSha256sumAtManyLengthsAlignmentsAndCuts) {
    const Sha256Route route = GetParam().route;
    const std::vector<size_t> lengths = OracleLengths();
    std::vector<uint8_t> data = PatternBytes(lengths.back(), 31);
    const std::map<size_t, std::string> expected = Sha256sumOfPrefixes(data, lengths);
    std::vector<uint8_t> room(data.size() + 128);
    uint8_t* line = room.data() + (-reinterpret_cast<uintptr_t>(room.data()) & 63);
    for (size_t align : {0, 1, 3, 4, 8, 15, 16, 33, 63}) {
        uint8_t* p = line + align;
        std::memcpy(p, data.data(), data.size());
        for (size_t length : lengths)
            ASSERT_EQ(HashInPieces(route, p, length), expected.at(length)) << "length " << length << " align " << align;
    }
    for (size_t length : lengths) {
        std::vector<size_t> cuts = {1, 55, 56, 63, 64, 65, 128, length / 2, length - 1};
        if (length <= 300)
            for (size_t cut = 2; cut < length; ++cut) cuts.push_back(cut);
        for (size_t cut : cuts) {
            if (cut > length) continue;
            ASSERT_EQ(HashInPieces(route, data.data(), length, {cut}), expected.at(length))
                << "length " << length << " cut at " << cut;
        }
        if (length > 300) {
            EXPECT_EQ(HashInPieces(route, data.data(), length, {1, 3, 70, 200, 4001, length - 65}), expected.at(length))
                << "length " << length << " in many pieces";
        }
    }
}

// The routes against each other on random pieces of random lengths.
TEST(Sha256, RoutesAgreeOnRandomPieces) {
    if (!morvik::Sha256RouteRuns(Sha256Route::kShaExtensions))
        GTEST_SKIP() << "this processor has no SHA extensions to compare with";
    EXPECT_EQ(morvik::Sha256FastestRoute(), Sha256Route::kShaExtensions);
    std::vector<uint8_t> data = PatternBytes(1 << 16, 47);
    std::mt19937 random(2718);
    for (int trial = 0; trial < 2000; ++trial) {
        size_t start = random() % 200;
        size_t length = random() % (data.size() - start);
        std::vector<size_t> cuts;
        for (size_t at = random() % 300; at < length; at += 1 + random() % 5000) cuts.push_back(at);
        const uint8_t* p = data.data() + start;
        ASSERT_EQ(HashInPieces(Sha256Route::kPortable, p, length, cuts),
                  HashInPieces(Sha256Route::kShaExtensions, p, length, cuts))
            << "start " << start << " length " << length << " in " << cuts.size() + 1 << " pieces";
    }
}

}  // namespace

#include "src/FFLoad.h"
#include "src/FFUtils.h"
#include "src/FilterRegistry.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

class HelpersTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(FFLoader().Load({liAVUtil, liAVCodec, liSwScale}))
            << FFLoader().LastErrorMessage();
    }
};

TEST_F(HelpersTest, CodecDescription) {
    struct TRow {
        AVCodecID id;
        uint32_t tag;
        bool encoder;
        const char* expected;
    } rows[] = {
        {AV_CODEC_ID_MPEG4, 0, false, "mpeg4(MPEG-4 part 2)"},
        {AV_CODEC_ID_MPEG4, 0, true, "mpeg4(MPEG-4 part 2)"},
        {AV_CODEC_ID_PCM_S16LE, 0, false, "pcm_s16le(PCM signed 16-bit little-endian)"},
        // A decoder without an encoder: the encoder flag finds nothing, so the tag is used.
        {AV_CODEC_ID_VP6, MKTAG('V', 'P', '6', '0'), false, "vp6(On2 VP6)"},
        {AV_CODEC_ID_VP6, MKTAG('V', 'P', '6', '0'), true, "VP60 / 0x30365056"},
        {AV_CODEC_ID_NONE, MKTAG('X', 'V', 'I', 'D'), false, "XVID / 0x44495658"},
        {AV_CODEC_ID_NONE, 0x12, false, "0x0012"},
        {AV_CODEC_ID_NONE, 0xABCDEF12, true, "0xABCDEF12"},
        {AV_CODEC_ID_NONE, MKTAG('a', 'b', 'c', 0x7F), false, "0x7F636261"},
        {AV_CODEC_ID_MPEG2TS, MKTAG('X', 'V', 'I', 'D'), false, "mpeg2ts"},
    };
    for (const TRow& r : rows) {
        AVCodecContext* ctx = ff::avcodec_alloc_context3(nullptr);
        ASSERT_NE(ctx, nullptr);
        ctx->codec_id = r.id;
        ctx->codec_tag = r.tag;
        EXPECT_EQ(codec_description(ctx, r.encoder), r.expected)
            << "codec " << r.id << " tag " << r.tag << (r.encoder ? " encoder" : " decoder");
        ff::avcodec_free_context(&ctx);
    }
}

TEST_F(HelpersTest, CodecDescriptionFallsBackToTheContextsCodec) {
    // A context allocated for a codec keeps it: when the default codec of the asked direction
    // is missing, that codec's name comes before the tag.
    const AVCodec* vp6 = ff::avcodec_find_decoder(AV_CODEC_ID_VP6);
    ASSERT_NE(vp6, nullptr);
    AVCodecContext* ctx = ff::avcodec_alloc_context3(vp6);
    ASSERT_NE(ctx, nullptr);
    ctx->codec_tag = MKTAG('X', 'V', 'I', 'D');
    EXPECT_EQ(codec_description(ctx, true), "vp6");
    ff::avcodec_free_context(&ctx);
}

TEST_F(HelpersTest, MetadataValue) {
    AVDictionary* dict = nullptr;
    ff::av_dict_set(&dict, "title", "The Title", 0);
    ff::av_dict_set(&dict, "encoder", "", 0);
    struct TRow {
        const char* key;
        const char* expected;
    } rows[] = {
        {"title", "The Title"}, {"TITLE", "The Title"}, {"tit", "fallback"},
        {"titles", "fallback"}, {"encoder", ""},        {"artist", "fallback"},
    };
    for (const TRow& r : rows)
        EXPECT_EQ(metadata_value(dict, r.key, "fallback"), r.expected) << "key " << r.key;
    EXPECT_EQ(metadata_value(nullptr, "title", "fallback"), "fallback");
    ff::av_dict_free(&dict);
}

TEST_F(HelpersTest, RegisterFilterOnceKeepsTheFirstDefinition) {
    TFilterDef first{"velloran_test_filter", "first", {AV_PIX_FMT_YUV420P}, {}};
    TFilterDef second{"velloran_test_filter", "second", {}, {}};
    register_filter_once(first);
    register_filter_once(second);
    auto names = ProgramFilterNames();
    EXPECT_EQ(std::count(names.begin(), names.end(), "velloran_test_filter"), 1);
    const TFilterDef* found = FindProgramFilter("velloran_test_filter");
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->description, "first");
    EXPECT_EQ(FindProgramFilter("velloran_no_such_filter"), nullptr);
}

TEST_F(HelpersTest, MakeScalerOptionsReplacesTheContext) {
    SwsContext* ctx = nullptr;
    for (int flags : {SWS_BICUBIC, SWS_BILINEAR | SWS_ACCURATE_RND}) {
        make_scaler_options(ctx, flags); // frees the previous one (checked by the sanitizer)
        ASSERT_NE(ctx, nullptr);
        int64_t value = 0;
        ASSERT_GE(ff::av_opt_get_int(ctx, "sws_flags", 0, &value), 0);
        EXPECT_EQ(value, flags);
        ASSERT_GE(ff::av_opt_get_int(ctx, "srcw", 0, &value), 0);
        EXPECT_EQ(value, 16);
        ASSERT_GE(ff::av_opt_get_int(ctx, "src_format", 0, &value), 0);
        EXPECT_EQ(value, 0);
    }
    ff::sws_freeContext(ctx);
}

} // namespace

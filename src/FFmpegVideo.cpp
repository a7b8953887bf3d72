// Video path: decoded pictures go through the input hooks (where the watermarks are drawn),
// into the filter graph of every output stream they feed, and out of it to the frame-rate
// keeper, the output hooks, the preview and the encoder.
//
// Pictures are reference-counted: the decoder's picture enters the filter graphs by reference
// and the graph's output goes to the encoder by reference. A full-picture copy is made only for
// a hook, the frame-hook modules or deinterlacing (`HookCopies` counts them).
#include "src/FFLoad.h"
#include "src/FFLog.h"
#include "src/FFUtils.h"
#include "src/FFmpeg.h"

#include <algorithm>
#include <cmath>

extern "C" {
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
}

namespace {

constexpr AVRational MicroBase{1, AV_TIME_BASE};

// A reusable picture buffer of the given layout that nobody else holds: the old buffer when it
// fits and is free, else a new one. False when it cannot be allocated.
bool PrepareWorkFrame(AVFrame* work, int format, int width, int height) {
    if (work->format == format && work->width == width && work->height == height &&
        work->buf[0] && ff::av_frame_is_writable(work))
        return true;
    ff::av_frame_unref(work);
    work->format = format;
    work->width = width;
    work->height = height;
    return ff::av_frame_get_buffer(work, 0) >= 0;
}

// The frame's pixels into `work` (same layout), with its properties.
bool CopyPicture(AVFrame* work, const AVFrame* src) {
    if (ff::av_frame_copy(work, src) < 0) return false;
    ff::av_frame_copy_props(work, src);
    return true;
}

}  // namespace

// --- decoding --------------------------------------------------------------------------------

int64_t TCustomFFmpeg::decoder_frame_duration(const TInputStream& ist, int repeat_pict) {
    const AVCodecContext* dec = ist.CodecContext.get();
    AVRational tb = dec ? dec->time_base : AVRational{0, 1};
    int ticks = (dec && dec->ticks_per_frame > 0 ? dec->ticks_per_frame : 1) + repeat_pict;
    if (tb.num <= 0 || tb.den <= 0) {
        // 5.1 decoder contexts made from stream parameters carry no time base.
        const AVRational r = ist.Stream->avg_frame_rate.num > 0 ? ist.Stream->avg_frame_rate
                                                                : ist.Stream->r_frame_rate;
        if (r.num <= 0 || r.den <= 0) return 0;
        tb = AVRational{r.den, r.num};
        ticks = 1 + repeat_pict;
    }
    return int64_t(AV_TIME_BASE) * tb.num * ticks / tb.den;
}

int TCustomFFmpeg::decode_video_packet(TInputStream& ist, AVPacket* pkt, bool& got_picture,
                                       int64_t& pkt_pts, int64_t& pkt_dts) {
    got_picture = false;
    if (!ist.DecodedFrame) {
        ist.DecodedFrame.reset(ff::av_frame_alloc());
        if (!ist.DecodedFrame) return AVERROR(ENOMEM);
    }
    AVCodecContext* dec = ist.CodecContext.get();
    AVFrame* frame = ist.DecodedFrame.get();
    // The library keeps the packet's own time stamps and computes the best-effort time stamp
    // of every picture; the caller's microsecond values only seed the stream clock.
    (void)pkt_dts;
    pkt_pts = AV_NOPTS_VALUE;

    int r = ff::avcodec_send_packet(dec, pkt);
    if (r == AVERROR_EOF) return 0;  // drained already
    if (r < 0 && r != AVERROR(EAGAIN)) return r;
    const bool resend = r == AVERROR(EAGAIN);

    int pictures = 0;
    for (;;) {
        r = ff::avcodec_receive_frame(dec, frame);
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) break;
        if (r < 0) return r;
        if (++pictures == 2 && pkt) {
            FFLogger().Log(this, ist.ShowedMultiPacketWarning ? llVerbose : llWarning,
                           "Multiple frames in a packet from stream %d", ist.Stream->index);
            ist.ShowedMultiPacketWarning = true;
        }
        got_picture = true;
        process_video_frame(ist, frame);
        ff::av_frame_unref(frame);
    }
    if (resend) {
        r = ff::avcodec_send_packet(dec, pkt);
        if (r < 0 && r != AVERROR_EOF) return r;
        while ((r = ff::avcodec_receive_frame(dec, frame)) >= 0) {
            got_picture = true;
            process_video_frame(ist, frame);
            ff::av_frame_unref(frame);
        }
        if (r != AVERROR(EAGAIN) && r != AVERROR_EOF) return r;
    }
    return pkt ? pkt->size : 0;
}

void TCustomFFmpeg::process_video_frame(TInputStream& ist, AVFrame* frame) {
    const int64_t duration = frame->pkt_duration > 0
                                 ? ff::av_rescale_q(frame->pkt_duration, ist.Stream->time_base,
                                                    MicroBase)
                                 : decoder_frame_duration(ist, frame->repeat_pict);
    if (frame->best_effort_timestamp != AV_NOPTS_VALUE)
        ist.NextPTS = ist.PTS =
            ff::av_rescale_q(frame->best_effort_timestamp, ist.Stream->time_base, MicroBase);
    ist.NextPTS += duration;

    const float quality = GlobalOptions.SameQuant ? float(frame->quality) : 0.0f;
    AVFrame* picture = pre_process_video_frame(ist, frame);

    for (const auto& o : OutputStreams) {
        TOutputStream& ost = *o;
        if (!ost.EncodingNeeded || !ost.InputVideoFilter || !stream_in_range(ist, ost)) continue;
        if (picture->sample_aspect_ratio.num == 0)
            picture->sample_aspect_ratio = ist.Stream->sample_aspect_ratio;
        picture->pts = ist.PTS;
        // By reference: the graph holds the decoder's buffer, no pixels are copied.
        if (ff::av_buffersrc_add_frame_flags(ost.InputVideoFilter, picture,
                                             AV_BUFFERSRC_FLAG_KEEP_REF) < 0)
            raise_error("Failed to inject frame into filter network");
    }
    ++ProcessedFrames;
    pace_input(ist);
    for (const auto& o : OutputStreams) {
        TOutputStream& ost = *o;
        if (!ost.EncodingNeeded || !ost.OutputVideoFilter || !stream_in_range(ist, ost)) continue;
        poll_video_filters(ist, ost, quality);
    }
}

void TCustomFFmpeg::poll_video_filters(TInputStream& ist, TOutputStream& ost, float quality) {
    if (!ost.FilteredPicture) {
        ost.FilteredPicture.reset(ff::av_frame_alloc());
        if (!ost.FilteredPicture) raise_error("av_frame_alloc failed");
    }
    AVFrame* f = ost.FilteredPicture.get();
    AVCodecContext* enc = ost.CodecContext.get();
    AVFormatContext* s = OutputFiles[size_t(ost.FileIndex)]->Context.get();
    for (;;) {
        const int r = ff::av_buffersink_get_frame(ost.OutputVideoFilter, f);
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) break;
        if (r < 0) {
            FFLogger().Log(this, llWarning,
                           "AV Filter told us it has a frame available but failed to output one");
            break;
        }
        if (f->pts != AV_NOPTS_VALUE)
            ist.PTS = ff::av_rescale_q(f->pts, ff::av_buffersink_get_time_base(ost.OutputVideoFilter),
                                       MicroBase);
        if (ost.FrameAspectRatio == 0 && f->sample_aspect_ratio.num)
            enc->sample_aspect_ratio = f->sample_aspect_ratio;
        int frame_size = 0;
        encode_video_frame(s, ost, ist, f,
                           frame_size, GlobalOptions.SameQuant ? quality : float(enc->global_quality));
        if (!GlobalOptions.VStatsFileName.empty() && frame_size) write_video_stats(ost, frame_size);
        ff::av_frame_unref(f);
        if (StopRequested) break;
    }
}

void TCustomFFmpeg::flush_video_filters(TOutputStream& ost) {
    if (!ost.InputVideoFilter || !ost.OutputVideoFilter || ost.SourceIndex < 0) return;
    if (ff::av_buffersrc_add_frame_flags(ost.InputVideoFilter, nullptr, 0) < 0) return;
    poll_video_filters(*InputStreams[size_t(ost.SourceIndex)], ost,
                       float(ost.CodecContext->global_quality));
}

// --- input hooks -----------------------------------------------------------------------------

AVFrame* TCustomFFmpeg::deinterlace_picture(TInputStream& ist, AVFrame* picture) {
    // The library's edge-slope deinterlacer in frame mode: one picture out per picture in, no
    // delay, so the hooks see the picture they belong to.
    if (!ist.DeinterlaceGraph) {
        ist.DeinterlaceGraph.reset(ff::avfilter_graph_alloc());
        AVFilterGraph* g = ist.DeinterlaceGraph.get();
        const std::string args =
            CFormat("video_size=%dx%d:pix_fmt=%d:time_base=1/%d:pixel_aspect=%d/%d",
                    picture->width, picture->height, picture->format, AV_TIME_BASE,
                    picture->sample_aspect_ratio.num, std::max(1, picture->sample_aspect_ratio.den));
        AVFilterContext* mid = nullptr;
        if (!g ||
            ff::avfilter_graph_create_filter(&ist.DeinterlaceIn, ff::avfilter_get_by_name("buffer"),
                                             "in", args.c_str(), nullptr, g) < 0 ||
            ff::avfilter_graph_create_filter(&mid, ff::avfilter_get_by_name("estdif"), "deint",
                                             "mode=frame:deint=all", nullptr, g) < 0 ||
            ff::avfilter_graph_create_filter(&ist.DeinterlaceOut,
                                             ff::avfilter_get_by_name("buffersink"), "out",
                                             nullptr, nullptr, g) < 0 ||
            ff::avfilter_link(ist.DeinterlaceIn, 0, mid, 0) < 0 ||
            ff::avfilter_link(mid, 0, ist.DeinterlaceOut, 0) < 0 ||
            ff::avfilter_graph_config(g, nullptr) < 0) {
            ist.DeinterlaceIn = ist.DeinterlaceOut = nullptr;
        }
    }
    if (!ist.DeinterlaceIn) return nullptr;
    picture->pts = ist.PTS;
    if (ff::av_buffersrc_add_frame_flags(ist.DeinterlaceIn, picture, AV_BUFFERSRC_FLAG_KEEP_REF) <
        0)
        return nullptr;
    AVFrame* work = InputHookFrame.get();
    ff::av_frame_unref(work);
    if (ff::av_buffersink_get_frame(ist.DeinterlaceOut, work) < 0) return nullptr;
    ++HookCopies;
    return work;
}

AVFrame* TCustomFFmpeg::pre_process_video_frame(TInputStream& ist, AVFrame* picture) {
    ++ist.FrameCount;
    const int frame_number = ist.FrameCount;
    const int64_t pts = ist.PTS;
    const bool modules = FrameHooks && !FrameHooks->Empty();
    if (!GlobalOptions.DoDeinterlace && !OnFrameInputHook && !OnVideoInputHook && !modules)
        return picture;

    if (!InputHookFrame) InputHookFrame.reset(ff::av_frame_alloc());
    AVFrame* work = nullptr;
    if (InputHookFrame && GlobalOptions.DoDeinterlace) {
        work = deinterlace_picture(ist, picture);
        if (!work) {
            FFLogger().Log(this, llWarning, "Deinterlacing failed.");
            work = picture;
        } else if (!ff::av_frame_is_writable(work) && ff::av_frame_make_writable(work) < 0) {
            work = picture;
        }
    }
    if (!work) {
        if (!InputHookFrame ||
            !PrepareWorkFrame(InputHookFrame.get(), picture->format, picture->width,
                              picture->height)) {
            FFLogger().Log(this, llError, "hook buf malloc error in pre_process_video_frame().");
            return picture;
        }
        work = InputHookFrame.get();
        if (!CopyPicture(work, picture)) {
            FFLogger().Log(this, llError, "hook buf malloc error in pre_process_video_frame().");
            return picture;
        }
        ++HookCopies;
    }

    if (OnFrameInputHook)
        OnFrameInputHook(this, work, work->format, frame_number, work->width, work->height, pts);
    if (OnVideoInputHook) {
        bool converted = false;
        run_video_hook(OnVideoInputHook, InputConverter, converted, pts, frame_number,
                       work->format, work->width, work->height, work);
    } else if (modules) {
        FrameHooks->Run(work, work->format, work->width, work->height, pts);
        (void)frame_number;
    }
    return work;
}

void TCustomFFmpeg::run_video_hook(TVideoHookCallback& slot, TFormatConverter& converter,
                                   bool& converted, int64_t pts, int frame_number, int pix_fmt,
                                   int width, int height, AVFrame* picture) {
    converted = converter.ToRGB(picture, pix_fmt, width, height, true);
    bool stop_hook = !converted;
    if (!converted) {
        FFLogger().Log(this, llError, converter.ConversionError());
    } else {
        bool update = true;
        try {
            slot(this, &converter.Bitmap(), frame_number, pts, update, stop_hook);
        } catch (const std::exception& e) {
            FFLogger().Log(this, llError, std::string("Error occurs VideoHook event: ") + e.what());
            update = false;
        }
        if (update) {
            converter.CopyFromBitmap();
            if (converter.CurrentPicture() == converter.RGBPictureAddress() &&
                !converter.FromRGB(picture, pix_fmt, width, height)) {
                FFLogger().Log(this, llError, converter.ConversionError());
                stop_hook = true;
            }
        } else if (preview_flags()) {
            converted = false;  // the bitmap no longer shows the picture that goes on
        }
    }
    if (stop_hook) slot = nullptr;
}

// --- output side -----------------------------------------------------------------------------

AVFrame* TCustomFFmpeg::run_output_hooks(AVFrame* picture, AVCodecContext* enc, int frame_number,
                                         int64_t pts, bool& converted) {
    converted = false;
    if (!OutputHookFrame) OutputHookFrame.reset(ff::av_frame_alloc());
    AVFrame* work = OutputHookFrame.get();
    if (!work || !PrepareWorkFrame(work, enc->pix_fmt, enc->width, enc->height) ||
        picture->format != enc->pix_fmt || picture->width != enc->width ||
        picture->height != enc->height || !CopyPicture(work, picture)) {
        FFLogger().Log(this, llError, "hook buf malloc error.");
        return picture;
    }
    ++HookCopies;
    if (OnVideoOutputHook)
        run_video_hook(OnVideoOutputHook, OutputConverter, converted, pts, frame_number,
                       enc->pix_fmt, enc->width, enc->height, work);
    if (OnFrameOutputHook)
        OnFrameOutputHook(this, work, enc->pix_fmt, frame_number, enc->width, enc->height, pts);
    return work;
}

void TCustomFFmpeg::preview_picture(AVFrame* picture, AVCodecContext* enc, int frame_number,
                                    int64_t pts, bool converted) {
    uint8_t flags;
    bool changed;
    {
        std::lock_guard lock(PreviewLock());
        flags = FPreviewFlags;
        changed = FPreviewFlagsChanged;
        FPreviewFlagsChanged = false;
    }
    if (!(flags & 2) || !OnPreviewBitmap) return;  // the preview window comes with its own unit
    const int64_t now = ff::av_gettime();
    if (now - LastPreviewTime <= PreviewInterval) return;
    LastPreviewTime = now;
    bool ready = converted && !changed;
    if (!ready) ready = OutputConverter.ToRGB(picture, enc->pix_fmt, enc->width, enc->height, true);
    if (!ready) {
        FFLogger().Log(this, llError, OutputConverter.ConversionError());
        std::lock_guard lock(PreviewLock());
        FPreviewFlags &= uint8_t(~2u);
        return;
    }
    // Called outside the preview lock: the owner may deliver it on the main thread, which may
    // itself be waiting for the lock to change the flags.
    OnPreviewBitmap(this, &OutputConverter.Bitmap(), frame_number, pts);
}

// --- encoding --------------------------------------------------------------------------------

void TCustomFFmpeg::encode_video_frame(AVFormatContext* s, TOutputStream& ost, TInputStream& ist,
                                       AVFrame* picture, int& frame_size, float quality) {
    frame_size = 0;
    AVCodecContext* enc = ost.CodecContext.get();
    const AVRational tb = enc->time_base;
    const double tb_s = av_q2d(tb);

    // Length of one input picture in output frames.
    double duration = 0;
    if (ist.Stream->start_time != AV_NOPTS_VALUE) {
        const AVRational r = ist.Stream->r_frame_rate.num ? ist.Stream->r_frame_rate
                                                          : ist.Stream->avg_frame_rate;
        const double dec_tb = ist.CodecContext && ist.CodecContext->time_base.num > 0
                                  ? av_q2d(ist.CodecContext->time_base)
                                  : (r.num > 0 ? double(r.den) / r.num : 0.0);
        duration = std::max(av_q2d(ist.Stream->time_base), dec_tb);
        if (ist.Stream->avg_frame_rate.num)
            duration = std::max(duration, 1.0 / av_q2d(ist.Stream->avg_frame_rate));
        duration /= tb_s;
    }

    const TInputStream& sync_in = ost.SyncInput ? *ost.SyncInput : ist;
    const TOutputFile& of = *OutputFiles[size_t(ost.FileIndex)];
    const double sync_pos = (double(sync_in.PTS - of.StartTime) / AV_TIME_BASE) / tb_s;

    int method = GlobalOptions.VideoSyncMethod;
    if (method == -1) {
        const int flags = s->oformat->flags;
        method = (flags & AVFMT_VARIABLE_FPS) ? ((flags & AVFMT_NOTIMESTAMPS) ? 0 : 2) : 1;
    }

    int64_t copies = 1;
    if (method == 0) {
        ost.SyncOutPTS = std::llround(sync_pos);
    } else {
        const double delta = sync_pos - double(ost.SyncOutPTS) + duration;
        if (delta < -1.1) {
            copies = 0;
        } else if (method == 2) {
            if (delta <= -0.6)
                copies = 0;
            else if (delta > 0.6)
                ost.SyncOutPTS = std::llround(sync_pos);
        } else if (method == 1 && delta > 1.1) {
            copies = std::llround(delta);
        }
    }
    if (copies == 0) {
        ++DropFrames;
        DupDropFlag = true;
        FFLogger().Log(this, llVerbose, "*** drop!");
        return;
    }
    if (copies > 1) {
        DupFrames += int(copies - 1);
        DupDropFlag = true;
        FFLogger().Log(this, llVerbose, "*** %d dup!", int(copies - 1));
    }
    copies = std::min<int64_t>(copies, ost.MaxFrames - ost.FrameNumber);

    const bool interlaced_enc =
        enc->flags & (AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME);
    for (int64_t i = 0; i < copies && !StopRequested; ++i) {
        const int frame_number = ost.FrameNumber + 1;
        // Pictures sent to an encoder need increasing time stamps.
        if (ost.LastFramePTS != AV_NOPTS_VALUE && ost.SyncOutPTS <= ost.LastFramePTS)
            ost.SyncOutPTS = ost.LastFramePTS + 1;
        if (interlaced_enc && ost.TopFieldFirst != -1) picture->top_field_first = ost.TopFieldFirst;
        picture->quality = int(std::lrint(quality));
        picture->pict_type = AV_PICTURE_TYPE_NONE;
        picture->pts = ost.SyncOutPTS;
        if (ost.ForcedKeyFrameIndex < ost.ForcedKeyFrameCount &&
            picture->pts >= ost.ForcedKeyFramePTS[size_t(ost.ForcedKeyFrameIndex)]) {
            picture->pict_type = AV_PICTURE_TYPE_I;
            ++ost.ForcedKeyFrameIndex;
        }
        const int64_t hook_pts = ff::av_rescale_q(ost.SyncOutPTS, tb, MicroBase);
        bool converted = false;
        AVFrame* coded = picture;
        if (OnVideoOutputHook || OnFrameOutputHook)
            coded = run_output_hooks(picture, enc, frame_number, hook_pts, converted);
        if (coded != picture) {
            coded->pts = picture->pts;
            coded->pict_type = picture->pict_type;
            coded->quality = picture->quality;
        }
        preview_picture(coded, enc, frame_number, hook_pts, converted);

        const int64_t before = VideoSize;
        encode_frame(s, ost, coded);
        frame_size = int(VideoSize - before);
        ost.LastFramePTS = ost.SyncOutPTS;
        ++ost.SyncOutPTS;
        ++ost.FrameNumber;
    }
}

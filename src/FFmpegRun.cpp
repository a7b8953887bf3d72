// Transcoding main loop: reads the input packet by packet, corrects time stamps, decodes or
// copies, hands encoded and copied packets through the bitstream filters to the muxers, and at
// the end drains decoders, filter graphs and encoders, writes the trailers and closes
// everything. Subtitle transcoding lives here too; the video and audio paths have their own
// files.
#include "src/FFLoad.h"
#include "src/FFLog.h"
#include "src/FFUtils.h"
#include "src/FFmpeg.h"

#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

extern "C" {
#include <libavcodec/bsf.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
}

namespace {

constexpr AVRational MicroBase{1, AV_TIME_BASE};

struct TPacketDeleter {
    void operator()(AVPacket* p) const { ff::av_packet_free(&p); }
};
using TPacketPtr = std::unique_ptr<AVPacket, TPacketDeleter>;

TPacketPtr NewPacket() {
    TPacketPtr p(ff::av_packet_alloc());
    if (!p) throw FFmpegException("av_packet_alloc failed");
    return p;
}

}  // namespace

// --- output range and pacing -----------------------------------------------------------------

bool TCustomFFmpeg::stream_in_range(TInputStream& ist, TOutputStream& ost) {
    const TOutputFile& of = *OutputFiles[size_t(ost.FileIndex)];
    if (ost.SourceIndex < 0 || InputStreams[size_t(ost.SourceIndex)].get() != &ist) return false;
    if (of.StartTime != 0 && ist.PTS < of.StartTime) return false;
    if (of.RecordingTime != INT64_MAX && ist.PTS >= of.RecordingTime + of.StartTime) {
        ost.PastRecordingTime = true;
        return false;
    }
    return true;
}

void TCustomFFmpeg::pace_input(TInputStream& ist) {
    if (!InputFiles[size_t(ist.FileIndex)]->RateEmulation) return;
    const int64_t pts = ist.PTS;
    const int64_t elapsed = ff::av_gettime() - ist.StartTime;
    if (elapsed + 1000 < pts)
        std::this_thread::sleep_for(std::chrono::milliseconds((pts - elapsed) / 1000));
}

// --- writing ---------------------------------------------------------------------------------

namespace {

// Hands `pkt` through the filters from `index` on and each result to `mux`.
template <class Mux>
void FilterChain(TCustomFFmpeg& e, TOutputStream& ost, size_t index, AVPacket* pkt, Mux&& mux) {
    if (index >= ost.BitstreamFilters.size()) {
        mux(pkt);
        return;
    }
    AVBSFContext* bsf = ost.BitstreamFilters[index].get();
    // A copy goes in, so that a filter failure still leaves the packet to write.
    TPacketPtr copy;
    if (pkt) {
        copy.reset(ff::av_packet_clone(pkt));
        if (!copy) throw FFmpegException("av_packet_clone failed");
    }
    int r = ff::av_bsf_send_packet(bsf, copy.get());
    if (r < 0 && r != AVERROR_EOF) {
        const char* codec = ost.Encoder && ost.EncodingNeeded ? ost.Encoder->name : "copy";
        const std::string msg =
            error_text(Format("Failed to open bitstream filter %s for stream %d with codec %s",
                              bsf->filter->name, pkt ? pkt->stream_index : ost.Index, codec),
                       r);
        if (e.GlobalOptions.ExitOnError) e.raise_error(msg);
        FFLogger().Log(&e, llError, msg);
        FilterChain(e, ost, index + 1, pkt, mux);
        return;
    }
    TPacketPtr out = NewPacket();
    while ((r = ff::av_bsf_receive_packet(bsf, out.get())) >= 0) {
        FilterChain(e, ost, index + 1, out.get(), mux);
        ff::av_packet_unref(out.get());
    }
    if (!pkt) FilterChain(e, ost, index + 1, nullptr, mux);  // pass the end on
}

}  // namespace

void TCustomFFmpeg::write_packet(AVFormatContext* s, AVPacket* pkt, TOutputStream& ost) {
    if (pkt) {
        const bool encoded_video =
            ost.EncodingNeeded && ost.CodecContext->codec_type == AVMEDIA_TYPE_VIDEO;
        if (!encoded_video) {
            if (ost.FrameNumber >= ost.MaxFrames) {
                ff::av_packet_unref(pkt);
                return;
            }
            ++ost.FrameNumber;
        }
    }
    auto mux = [&](AVPacket* p) {
        if (!p) return;
        p->stream_index = ost.Index;
        const int64_t at = p->pts != AV_NOPTS_VALUE ? p->pts : p->dts;
        if (at != AV_NOPTS_VALUE) ost.CurrentPTS = at + (p->duration > 0 ? p->duration : 0);
        arm_output_stamp();
        const int r = ff::av_interleaved_write_frame(s, p);
        set_output_stamp(StampUnarmed);
        if (r < 0) raise_error(error_text("av_interleaved_write_frame()", r));
    };
    if (ost.BitstreamFilters.empty()) {
        if (pkt) mux(pkt);
        return;
    }
    FilterChain(*this, ost, 0, pkt, mux);
    if (pkt) ff::av_packet_unref(pkt);
}

int TCustomFFmpeg::encode_frame(AVFormatContext* s, TOutputStream& ost, const AVFrame* frame) {
    AVCodecContext* enc = ost.CodecContext.get();
    const bool video = enc->codec_type == AVMEDIA_TYPE_VIDEO;
    const char* fail = video ? "Video encoding failed" : "Audio encoding failed";
    int r = ff::avcodec_send_frame(enc, frame);
    if (r == AVERROR_EOF && !frame) return 0;  // drained already
    if (r < 0) raise_error(error_text(fail, r));
    TPacketPtr pkt = NewPacket();
    int written = 0;
    for (;;) {
        r = ff::avcodec_receive_packet(enc, pkt.get());
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) break;
        if (r < 0) raise_error(error_text(fail, r));
        if (const uint8_t* q =
                ff::av_packet_get_side_data(pkt.get(), AV_PKT_DATA_QUALITY_STATS, nullptr)) {
            int32_t quality;
            std::memcpy(&quality, q, 4);
            ost.CodedQuality = quality;
            ost.CodedPictType = q[4];
            const int n = std::min<int>(q[5], 4);
            for (int i = 0; i < n; ++i)
                std::memcpy(&ost.CodedError[i], q + 8 + 8 * i, 8);
        }
        if (video)
            VideoSize += pkt->size;
        else
            AudioSize += pkt->size;
        if (ost.LogFile && enc->stats_out) ff::fprintf(ost.LogFile.get(), "%s", enc->stats_out);
        // One packet per picture: muxers that end a track at the last packet's end need it.
        if (video && pkt->duration <= 0) pkt->duration = 1;
        ff::av_packet_rescale_ts(pkt.get(), enc->time_base, ost.Stream->time_base);
        pkt->stream_index = ost.Index;
        write_packet(s, pkt.get(), ost);
        ff::av_packet_unref(pkt.get());
        ++written;
    }
    return written;
}

// --- stream copy -----------------------------------------------------------------------------

void TCustomFFmpeg::copy_packet(TInputStream& ist, TOutputStream& ost, const AVPacket* pkt) {
    const TOutputFile& of = *OutputFiles[size_t(ost.FileIndex)];
    const AVRational itb = ist.Stream->time_base;
    const AVRational otb = ost.Stream->time_base;
    const int64_t start = ff::av_rescale_q(of.StartTime, MicroBase, otb);

    if (ost.FrameNumber == 0 && !(pkt->flags & AV_PKT_FLAG_KEY) && !ost.CopyInitialNonKeyFrames)
        return;

    const AVMediaType type = ost.Stream->codecpar->codec_type;
    if (type == AVMEDIA_TYPE_AUDIO) {
        AudioSize += pkt->size;
    } else if (type == AVMEDIA_TYPE_VIDEO) {
        VideoSize += pkt->size;
        ++ost.SyncOutPTS;
    }

    TPacketPtr out(ff::av_packet_clone(pkt));  // shares the payload, no copy
    if (!out) raise_error("av_packet_clone failed");
    out->stream_index = ost.Index;
    out->pts = pkt->pts != AV_NOPTS_VALUE ? ff::av_rescale_q(pkt->pts, itb, otb) - start
                                          : AV_NOPTS_VALUE;
    out->dts = (pkt->dts != AV_NOPTS_VALUE ? ff::av_rescale_q(pkt->dts, itb, otb)
                                           : ff::av_rescale_q(ist.PTS, MicroBase, otb)) -
               start;
    out->duration = ff::av_rescale_q(pkt->duration, itb, otb);
    out->time_base = otb;

    if (ost.LastDTS != AV_NOPTS_VALUE && ost.LastDTS >= out->dts) out->dts = ost.LastDTS + 1;
    if (out->pts == AV_NOPTS_VALUE || out->pts < out->dts) out->pts = out->dts;
    ost.LastDTS = out->dts;

    write_packet(OutputFiles[size_t(ost.FileIndex)]->Context.get(), out.get(), ost);
    ++ost.CodecContext->frame_number;
}

// --- decoding --------------------------------------------------------------------------------

int TCustomFFmpeg::decode_packet(TInputStream& ist, const AVPacket* pkt) {
    if (ist.NextPTS == AV_NOPTS_VALUE) ist.NextPTS = ist.PTS;
    int64_t pkt_pts = AV_NOPTS_VALUE;
    int64_t pkt_dts = AV_NOPTS_VALUE;
    const AVRational tb = ist.Stream->time_base;
    const AVMediaType type = ist.Stream->codecpar->codec_type;

    if (pkt) {
        if (pkt->dts != AV_NOPTS_VALUE) {
            pkt_dts = ff::av_rescale_q(pkt->dts, tb, MicroBase);
            if (type != AVMEDIA_TYPE_VIDEO || !ist.DecodingNeeded) ist.NextPTS = ist.PTS = pkt_dts;
        }
        if (pkt->pts != AV_NOPTS_VALUE) pkt_pts = ff::av_rescale_q(pkt->pts, tb, MicroBase);
    }

    if (ist.DecodingNeeded) {
        ist.PTS = ist.NextPTS;
        bool got = false;
        int r;
        switch (type) {
        case AVMEDIA_TYPE_AUDIO:
            r = decode_audio_packet(ist, pkt, got);
            break;
        case AVMEDIA_TYPE_VIDEO: {
            TPacketPtr work;
            if (pkt) {
                work.reset(ff::av_packet_clone(pkt));
                if (!work) return AVERROR(ENOMEM);
            }
            r = decode_video_packet(ist, work.get(), got, pkt_pts, pkt_dts);
            break;
        }
        case AVMEDIA_TYPE_SUBTITLE:
            r = decode_subtitle_packet(ist, pkt, got);
            break;
        default:
            r = -1;
        }
        if (r < 0) return r;
    } else {
        pace_input(ist);
        ist.PTS = ist.NextPTS;
        if (pkt) {
            const AVCodecParameters* par = ist.Stream->codecpar;
            if (type == AVMEDIA_TYPE_AUDIO && par->sample_rate > 0 && par->frame_size > 0) {
                ist.NextPTS += int64_t(AV_TIME_BASE) * par->frame_size / par->sample_rate;
            } else if (type == AVMEDIA_TYPE_AUDIO && pkt->duration > 0) {
                ist.NextPTS += ff::av_rescale_q(pkt->duration, tb, MicroBase);
            } else if (type == AVMEDIA_TYPE_VIDEO) {
                ist.NextPTS += pkt->duration ? ff::av_rescale_q(pkt->duration, tb, MicroBase)
                                             : decoder_frame_duration(ist, 0);
            }
        }
    }

    if (pkt) {
        for (const auto& o : OutputStreams) {
            TOutputStream& ost = *o;
            if (ost.EncodingNeeded) continue;
            if (stream_in_range(ist, ost)) copy_packet(ist, ost, pkt);
        }
    }
    return 0;
}

// --- subtitles -------------------------------------------------------------------------------

int TCustomFFmpeg::decode_subtitle_packet(TInputStream& ist, const AVPacket* pkt,
                                          bool& got_output) {
    got_output = false;
    if (!pkt) return 0;  // subtitle decoders hold nothing back
    AVSubtitle sub{};
    int got = 0;
    const int r = ff::avcodec_decode_subtitle2(ist.CodecContext.get(), &sub, &got,
                                               const_cast<AVPacket*>(pkt));
    if (r < 0 || !got) return r;
    got_output = true;
    struct TFree {
        AVSubtitle* s;
        ~TFree() { ff::avsubtitle_free(s); }
    } free_sub{&sub};
    pace_input(ist);
    for (const auto& o : OutputStreams) {
        TOutputStream& ost = *o;
        if (!ost.EncodingNeeded || !stream_in_range(ist, ost)) continue;
        encode_subtitle(OutputFiles[size_t(ost.FileIndex)]->Context.get(), ost, ist, &sub,
                        pkt->pts);
    }
    return r;
}

void TCustomFFmpeg::encode_subtitle(AVFormatContext* s, TOutputStream& ost, TInputStream& ist,
                                    const AVSubtitle* sub, int64_t pts) {
    constexpr int BufferSize = 1 << 20;
    if (pts == AV_NOPTS_VALUE) {
        if (GlobalOptions.ExitOnError) raise_error("Subtitle packets must have a pts");
        FFLogger().Log(this, llError, "Subtitle packets must have a pts");
        return;
    }
    if (!SubtitleBuffer) {
        SubtitleBuffer.reset(static_cast<uint8_t*>(ff::av_malloc(BufferSize)));
        if (!SubtitleBuffer) raise_error("av_malloc failed");
    }
    AVCodecContext* enc = ost.CodecContext.get();
    const bool dvb = enc->codec_id == AV_CODEC_ID_DVB_SUBTITLE;
    const int count = dvb ? 2 : 1;
    AVSubtitle copy = *sub;
    for (int i = 0; i < count; ++i) {
        const int64_t sub_pts = ff::av_rescale_q(pts, ist.Stream->time_base, MicroBase) +
                                int64_t(copy.start_display_time) * 1000;
        copy.pts = sub_pts;
        copy.end_display_time -= copy.start_display_time;
        copy.start_display_time = 0;
        if (i == 1) copy.num_rects = 0;  // the second DVB packet clears the display
        const int size = ff::avcodec_encode_subtitle(enc, SubtitleBuffer.get(), BufferSize, &copy);
        if (size < 0) raise_error("Subtitle encoding failed");
        TPacketPtr pkt = NewPacket();
        if (ff::av_new_packet(pkt.get(), size) < 0) raise_error("av_malloc failed");
        std::memcpy(pkt->data, SubtitleBuffer.get(), size_t(size));
        pkt->stream_index = ost.Index;
        pkt->pts = ff::av_rescale_q(sub_pts, MicroBase, ost.Stream->time_base);
        if (dvb) pkt->pts += 90 * int64_t(i == 0 ? copy.start_display_time : copy.end_display_time);
        pkt->dts = pkt->pts;
        write_packet(s, pkt.get(), ost);
    }
}

// --- draining --------------------------------------------------------------------------------

void TCustomFFmpeg::flush_all_encoders() {
    for (const auto& o : OutputStreams) {
        TOutputStream& ost = *o;
        if (!ost.EncodingNeeded) continue;
        AVFormatContext* s = OutputFiles[size_t(ost.FileIndex)]->Context.get();
        switch (ost.CodecContext->codec_type) {
        case AVMEDIA_TYPE_AUDIO:
            flush_audio_fifo(s, ost);
            encode_frame(s, ost, nullptr);
            break;
        case AVMEDIA_TYPE_VIDEO:
            flush_video_filters(ost);
            encode_frame(s, ost, nullptr);
            break;
        default:
            break;
        }
    }
}

// --- the loop --------------------------------------------------------------------------------

int TCustomFFmpeg::choose_input_file() {
    int chosen = -1;
    double smallest = 1e100;
    for (const auto& o : OutputStreams) {
        TOutputStream& ost = *o;
        if (ost.SourceIndex < 0) continue;
        const TOutputFile& of = *OutputFiles[size_t(ost.FileIndex)];
        const int file = InputStreams[size_t(ost.SourceIndex)]->FileIndex;
        AVIOContext* pb = of.Context->pb;
        const bool full =
            pb && of.FileSizeLimit != UINT64_MAX && uint64_t(ff::avio_seek(pb, 0, SEEK_CUR)) >= of.FileSizeLimit;
        if (!ost.PastRecordingTime && !NoPacketFlags[size_t(file)] && !full) {
            const double pos = double(ost.CurrentPTS) * av_q2d(ost.Stream->time_base);
            if (!InputFiles[size_t(file)]->EOFReached && pos < smallest) {
                smallest = pos;
                chosen = file;
            }
        }
        if (ost.FrameNumber >= ost.MaxFrames) {
            const int n = int(of.Context->nb_streams);
            for (int k = 0; k < n && of.FirstStreamIndex + k < int(OutputStreams.size()); ++k)
                OutputStreams[size_t(of.FirstStreamIndex + k)]->PastRecordingTime = true;
        }
    }
    return chosen;
}

void TCustomFFmpeg::correct_timestamps(TInputFile& ifile, TInputStream& ist, AVPacket* pkt) {
    const AVRational tb = ist.Stream->time_base;
    if (pkt->dts != AV_NOPTS_VALUE) pkt->dts += ff::av_rescale_q(ifile.TSOffset, MicroBase, tb);
    if (pkt->pts != AV_NOPTS_VALUE) pkt->pts += ff::av_rescale_q(ifile.TSOffset, MicroBase, tb);
    if (ist.TSScale != 1.0) {
        if (pkt->pts != AV_NOPTS_VALUE) pkt->pts = std::llround(double(pkt->pts) * ist.TSScale);
        if (pkt->dts != AV_NOPTS_VALUE) pkt->dts = std::llround(double(pkt->dts) * ist.TSScale);
    }
    const AVFormatContext* ic = ifile.Context.get();
    if (pkt->dts == AV_NOPTS_VALUE || ist.NextPTS == AV_NOPTS_VALUE ||
        !(ic->iformat->flags & AVFMT_TS_DISCONT) || GlobalOptions.CopyTS)
        return;
    const int64_t dts_us = ff::av_rescale_q(pkt->dts, tb, MicroBase);
    const int64_t delta = dts_us - ist.NextPTS;
    const double threshold = double(GlobalOptions.DTSDeltaThreshold) * AV_TIME_BASE;
    const bool subtitle = ist.Stream->codecpar->codec_type == AVMEDIA_TYPE_SUBTITLE;
    if (double(delta) < -threshold || (double(delta) > threshold && !subtitle) ||
        dts_us + 1 < ist.PTS) {
        ifile.TSOffset -= delta;
        FFLogger().Log(this, llDebug, "timestamp discontinuity %d, new offset= %d", delta,
                       ifile.TSOffset);
        const int64_t d = ff::av_rescale_q(delta, MicroBase, tb);
        pkt->dts -= d;
        if (pkt->pts != AV_NOPTS_VALUE) pkt->pts -= d;
    }
}

void TCustomFFmpeg::transcode_run() {
    NoPacketFlags.reset(new uint8_t[InputFiles.size() + 1]());
    LastError.clear();
    Finishing = false;
    try {
        const int r = transcode_init();
        if (r < 0) {
            if (LastError.empty()) LastError = error_text("transcode_init() error", r);
            raise_error(LastError);
        }
    } catch (...) {
        transcode_cleanup();
        throw;
    }

    try {
        if (TotalDuration < 0) TotalDuration = LongestInputDuration >= 0 ? LongestInputDuration : -1;
        LoopStartTime = ff::av_gettime();
        int64_t last_report = LoopStartTime;
        int no_packet_count = 0;
        TPacketPtr pkt = NewPacket();
        const size_t file_count = InputFiles.size();

        while (!StopRequested) {
            wait_if_paused();
            if (StopRequested) break;
            const int file_index = choose_input_file();
            if (file_index < 0) {
                if (no_packet_count == 0) break;
                std::fill_n(NoPacketFlags.get(), file_count, uint8_t(0));
                no_packet_count = 0;
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                continue;
            }
            TInputFile& ifile = *InputFiles[size_t(file_index)];
            AVFormatContext* ic = ifile.Context.get();
            arm_input_stamp();
            const int r = ff::av_read_frame(ic, pkt.get());
            set_input_stamp(StampUnarmed);
            if (r == AVERROR(EAGAIN)) {
                NoPacketFlags[size_t(file_index)] = 1;
                ++no_packet_count;
                continue;
            }
            if (r < 0) {
                ifile.EOFReached = true;
                continue;
            }
            no_packet_count = 0;
            std::fill_n(NoPacketFlags.get(), file_count, uint8_t(0));
            if (GlobalOptions.DoPktDump)
                ff::av_pkt_dump_log2(nullptr, AV_LOG_DEBUG, pkt.get(), GlobalOptions.DoHexDump,
                                     ic->streams[pkt->stream_index]);
            if (pkt->stream_index < ifile.StreamCount) {
                TInputStream& ist = *InputStreams[size_t(ifile.FirstStreamIndex + pkt->stream_index)];
                if (!ist.Discard) {
                    correct_timestamps(ifile, ist, pkt.get());
                    if (decode_packet(ist, pkt.get()) < 0) {
                        const std::string msg =
                            Format("Error while decoding stream #%d:%d (%s)", ist.FileIndex,
                                   pkt->stream_index,
                                   media_type_name(ist.Stream->codecpar->codec_type));
                        FFLogger().Log(this, llError, msg);
                        if (GlobalOptions.ExitOnError) raise_error(msg);
                        ff::av_packet_unref(pkt.get());
                        continue;
                    }
                }
            }
            ff::av_packet_unref(pkt.get());
            const int64_t now = ff::av_gettime();
            if (now - last_report > ReportInterval) {
                last_report = now;
                report_progress(now, LoopStartTime, false, file_index);
            }
        }

        Finishing = true;
        // Drain: decoders, filter graphs and encoders, then the bitstream filters.
        for (const auto& i : InputStreams)
            if (i->DecodingNeeded) decode_packet(*i, nullptr);
        flush_all_encoders();
        for (const auto& o : OutputStreams)
            if (!o->BitstreamFilters.empty())
                write_packet(OutputFiles[size_t(o->FileIndex)]->Context.get(), nullptr, *o);

        for (size_t i = 0; i < OutputFiles.size(); ++i) {
            AVFormatContext* oc = OutputFiles[i]->Context.get();
            arm_output_stamp();
            const int r = ff::av_write_trailer(oc);
            set_output_stamp(StampUnarmed);
            if (r < 0)
                FFLogger().Log(this, llError,
                               error_text(Format("Could not write trailer of output file #%d",
                                                 int(i)),
                                          r));
        }

        report_progress(ff::av_gettime(), LoopStartTime, true, -1);

        for (const auto& o : OutputStreams) {
            TOutputStream& ost = *o;
            if (ost.EncodingNeeded) {
                AVCodecContext* enc = ost.CodecContext.get();
                ff::av_freep(&enc->stats_in);
                ff::avcodec_close(enc);
                unregister_encoder(enc);
            }
            ost.InputVideoFilter = ost.OutputVideoFilter = nullptr;
            ost.FilterGraph.reset();
        }
        for (const auto& i : InputStreams) {
            if (!i->DecodingNeeded) continue;
            ff::avcodec_close(i->CodecContext.get());
            unregister_decoder(i->CodecContext.get());
        }
        Finished = !StopRequested;
    } catch (...) {
        transcode_cleanup();
        throw;
    }
    transcode_cleanup();
}

void TCustomFFmpeg::transcode_cleanup() {
    VideoOutputBuffer.reset();
    NoPacketFlags.reset();
    close_registered_codecs();
    for (const auto& o : OutputStreams) {
        TOutputStream& ost = *o;
        AVCodecContext* enc = ost.CodecContext.get();
        if (enc && ost.StreamCopy) {
            ff::av_freep(&enc->extradata);
            enc->extradata_size = 0;
        }
        ost.LogFile.reset();
        if (enc) {
            ff::av_freep(&enc->subtitle_header);
            enc->subtitle_header_size = 0;
        }
        ost.ForcedKeyFramePTS.clear();
        ost.Options.reset();
        ost.Fifo.reset();
        ost.Resampler.reset();
    }
}

// Audio path of the main loop: decoding, the audio hook and the volume, conversion through the
// resampler, keeping the output in step with the input timestamps, the per-stream FIFO that
// hands whole encoder frames on, and encoding.
//
// Samples are handled per channel plane so that planar and packed formats take the same road:
// a run of samples is one pointer per channel for planar formats, one pointer for packed ones.
#include "src/FFLoad.h"
#include "src/FFLog.h"
#include "src/FFUtils.h"
#include "src/FFmpeg.h"

extern "C" {
#include <libavutil/audio_fifo.h>
#include <libavutil/opt.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

namespace {

constexpr int MaxAudioChannels = 64;  // the resampler's limit, and ours for plane arrays

// A run of samples: plane pointers (one per channel when planar, else one) and the count.
struct TSampleRun {
    uint8_t* Planes[MaxAudioChannels] = {};
    int Samples = 0;
};

bool IsPlanar(int fmt) {
    return ff::av_sample_fmt_is_planar(AVSampleFormat(fmt)) != 0;
}

// Bytes of one plane's worth of `samples` samples.
int64_t PlaneBytes(int fmt, int channels, int64_t samples) {
    const int bps = ff::av_get_bytes_per_sample(AVSampleFormat(fmt));
    return samples * bps * (IsPlanar(fmt) ? 1 : channels);
}

int PlaneCount(int fmt, int channels) {
    return IsPlanar(fmt) ? channels : 1;
}

// Plane pointers over one block laid out plane after plane, each `capacity` samples long.
void LayOutPlanes(TSampleRun& run, uint8_t* block, int fmt, int channels, int capacity) {
    const int64_t stride = PlaneBytes(fmt, channels, capacity);
    for (int p = 0; p < PlaneCount(fmt, channels); ++p)
        run.Planes[p] = block + p * stride;
}

template <class T, class F> void ScaleSamples(uint8_t* data, int64_t count, F scale) {
    T* s = reinterpret_cast<T*>(data);
    for (int64_t i = 0; i < count; ++i)
        s[i] = scale(s[i]);
}

// Scales every sample of `frame` by volume / 256 in place; false for formats it cannot scale.
bool ScaleVolume(AVFrame* frame, int channels, int volume) {
    const AVSampleFormat fmt = ff::av_get_packed_sample_fmt(AVSampleFormat(frame->format));
    const int planes = PlaneCount(frame->format, channels);
    const int64_t count = int64_t(frame->nb_samples) * (planes == 1 ? channels : 1);
    for (int p = 0; p < planes; ++p) {
        uint8_t* data = frame->extended_data[p];
        switch (fmt) {
        case AV_SAMPLE_FMT_U8:
            ScaleSamples<uint8_t>(data, count, [volume](uint8_t s) {
                const int v = (((int(s) - 128) * volume + 128) >> 8) + 128;
                return uint8_t(std::clamp(v, 0, 255));
            });
            break;
        case AV_SAMPLE_FMT_S16:
            ScaleSamples<int16_t>(data, count, [volume](int16_t s) {
                const int v = (int(s) * volume + 128) >> 8;
                return int16_t(std::clamp(v, -32768, 32767));
            });
            break;
        case AV_SAMPLE_FMT_S32:
            ScaleSamples<int32_t>(data, count, [volume](int32_t s) {
                const int64_t v = (int64_t(s) * volume + 128) >> 8;
                return int32_t(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
            });
            break;
        case AV_SAMPLE_FMT_FLT: {
            const float f = float(volume) / 256.0f;
            ScaleSamples<float>(data, count, [f](float s) { return s * f; });
            break;
        }
        case AV_SAMPLE_FMT_DBL: {
            const double f = double(volume) / 256.0;
            ScaleSamples<double>(data, count, [f](double s) { return s * f; });
            break;
        }
        default:
            return false;
        }
    }
    return true;
}

// Planar channels to one interleaved block and back (for the audio hook).
void Interleave(const AVFrame* frame, int channels, int bps, uint8_t* out) {
    for (int i = 0; i < frame->nb_samples; ++i)
        for (int c = 0; c < channels; ++c, out += bps)
            std::memcpy(out, frame->extended_data[c] + int64_t(i) * bps, size_t(bps));
}

void Deinterleave(const uint8_t* in, int channels, int bps, AVFrame* frame) {
    for (int i = 0; i < frame->nb_samples; ++i)
        for (int c = 0; c < channels; ++c, in += bps)
            std::memcpy(frame->extended_data[c] + int64_t(i) * bps, in, size_t(bps));
}

// The layout to hand the resampler: the given one when it names its channels, else the
// default layout for its count.
AVChannelLayout ResamplerLayout(const AVChannelLayout& layout, int channels) {
    AVChannelLayout out{};
    if (layout.order != AV_CHANNEL_ORDER_UNSPEC && layout.nb_channels == channels &&
        ff::av_channel_layout_copy(&out, &layout) >= 0)
        return out;
    ff::av_channel_layout_default(&out, channels);
    return out;
}

bool TakesAnyFrameSize(const AVCodecContext* enc) {
    return (enc->codec && (enc->codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE)) ||
           enc->frame_size <= 1;
}

// Grows an av_malloc'd block held by `buf` to at least `bytes` (contents not kept).
bool GrowBuffer(TAVMemoryPtr& buf, unsigned int& allocated, int64_t bytes) {
    uint8_t* p = buf.release();
    ff::av_fast_malloc(&p, &allocated, size_t(bytes));
    buf.reset(p);
    return p != nullptr;
}

}  // namespace

void TCustomFFmpeg::make_silence(uint8_t* buf, int fmt, int bytes) {
    const AVSampleFormat packed = ff::av_get_packed_sample_fmt(AVSampleFormat(fmt));
    std::memset(buf, packed == AV_SAMPLE_FMT_U8 ? 128 : 0, size_t(bytes));
}

int TCustomFFmpeg::decode_audio_packet(TInputStream& ist, const AVPacket* pkt, bool& got_output) {
    got_output = false;
    AVCodecContext* dec = ist.CodecContext.get();
    if (!ist.DecodedFrame) {
        ist.DecodedFrame.reset(ff::av_frame_alloc());
        if (!ist.DecodedFrame) return AVERROR(ENOMEM);
    }
    AVFrame* frame = ist.DecodedFrame.get();

    // One packet may give several frames, and a full decoder refuses input until its frames
    // are taken: receive first, then send the packet again.
    int r = ff::avcodec_send_packet(dec, pkt);
    bool sent = r >= 0;
    if (r == AVERROR_EOF && !pkt)
        sent = true;  // already draining
    else if (r < 0 && r != AVERROR(EAGAIN))
        return r;
    for (;;) {
        r = ff::avcodec_receive_frame(dec, frame);
        if (r == AVERROR(EAGAIN)) {
            if (sent) break;
            if ((r = ff::avcodec_send_packet(dec, pkt)) < 0) return r;
            sent = true;
            continue;
        }
        if (r == AVERROR_EOF) break;
        if (r < 0) return r;
        got_output = true;
        audio_frame_decoded(ist, frame);
        ff::av_frame_unref(frame);
    }
    return pkt ? pkt->size : 0;
}

void TCustomFFmpeg::audio_frame_decoded(TInputStream& ist, AVFrame* frame) {
    AVCodecContext* dec = ist.CodecContext.get();
    if (frame->nb_samples < 1) {
        const char* name = dec && dec->codec ? dec->codec->name
                           : ist.Decoder     ? ist.Decoder->name
                                             : "";
        raise_error_fmt("the decoder \"%s\" return bad result.", name);
    }
    if (frame->sample_rate <= 0) frame->sample_rate = dec->sample_rate;
    if (frame->ch_layout.nb_channels <= 0)
        ff::av_channel_layout_copy(&frame->ch_layout, &dec->ch_layout);
    const int channels = frame->ch_layout.nb_channels;
    const int bps = ff::av_get_bytes_per_sample(AVSampleFormat(frame->format));

    // The frame's own time is the stream's position when the decoder gives one (one call may
    // produce several frames); otherwise the position predicted from the previous frame.
    if (frame->pts != AV_NOPTS_VALUE) {
        ist.NextPTS = ff::av_rescale_q(frame->pts, ist.Stream->time_base, AV_TIME_BASE_Q);
        ist.PTS = ist.NextPTS;
    } else if (ist.NextPTS != AV_NOPTS_VALUE) {
        ist.PTS = ist.NextPTS;
    }
    if (frame->sample_rate > 0) {
        if (ist.NextPTS == AV_NOPTS_VALUE) ist.NextPTS = ist.PTS;
        ist.NextPTS += int64_t(AV_TIME_BASE) * frame->nb_samples / frame->sample_rate;
    }

    const int volume = GlobalOptions.AudioVolume;
    if (OnAudioHook || volume != 256) {
        if (const int r = ff::av_frame_make_writable(frame); r < 0)
            raise_error(error_text("av_frame_make_writable", r));
    }
    if (OnAudioHook) {
        const int size = frame->nb_samples * channels * bps;
        if (IsPlanar(frame->format)) {
            // The hook sees interleaved samples (the packed counterpart of the format); its
            // changes are written back to the planes.
            AudioHookBuf.resize(size_t(size));
            Interleave(frame, channels, bps, AudioHookBuf.data());
            OnAudioHook(this, AudioHookBuf.data(), ist.PTS, size, frame->sample_rate, channels,
                        ff::av_get_packed_sample_fmt(AVSampleFormat(frame->format)));
            Deinterleave(AudioHookBuf.data(), channels, bps, frame);
        } else {
            OnAudioHook(this, frame->data[0], ist.PTS, size, frame->sample_rate, channels,
                        frame->format);
        }
    }
    if (volume != 256 && !ScaleVolume(frame, channels, volume)) {
        const char* name = ff::av_get_sample_fmt_name(AVSampleFormat(frame->format));
        raise_error_fmt("Audio volume adjustment on sample format %s is not supported.",
                        name ? name : "none");
    }

    pace_input(ist);
    for (auto& o : OutputStreams) {
        TOutputStream& ost = *o;
        if (!ost.EncodingNeeded || !stream_in_range(ist, ost)) continue;
        do_audio_out(OutputFiles[size_t(ost.FileIndex)]->Context.get(), ost, ist, frame);
    }
}

namespace {

// The output frame of `ost`, reset and given a buffer of `samples` samples in the encoder's
// format.
AVFrame* FreshOutputFrame(TCustomFFmpeg& e, TOutputStream& ost, int samples) {
    const AVCodecContext* enc = ost.CodecContext.get();
    if (!ost.OutputFrame) {
        ost.OutputFrame.reset(ff::av_frame_alloc());
        if (!ost.OutputFrame) e.raise_error("out-of-memory in encode_audio_frame()");
    }
    AVFrame* f = ost.OutputFrame.get();
    ff::av_frame_unref(f);
    f->format = enc->sample_fmt;
    f->sample_rate = enc->sample_rate;
    f->nb_samples = samples;
    if (ff::av_channel_layout_copy(&f->ch_layout, &enc->ch_layout) < 0 ||
        ff::av_frame_get_buffer(f, 0) < 0)
        e.raise_error("out-of-memory in encode_audio_frame()");
    return f;
}

}  // namespace

// Hands converted (or unchanged) samples on: at once to an encoder that takes any frame size,
// else through the FIFO in whole encoder frames. `source` is the decoded frame when `out` is
// exactly its data, so it can be passed on by reference.
static void QueueSamples(TCustomFFmpeg& e, AVFormatContext* s, TOutputStream& ost, TSampleRun& out,
                         AVFrame* source) {
    AVCodecContext* enc = ost.CodecContext.get();
    const int channels = enc->ch_layout.nb_channels;
    if (out.Samples <= 0) return;
    if (TakesAnyFrameSize(enc)) {
        AVFrame* f;
        if (source) {
            if (!ost.OutputFrame) {
                ost.OutputFrame.reset(ff::av_frame_alloc());
                if (!ost.OutputFrame) e.raise_error("out-of-memory in encode_audio_frame()");
            }
            f = ost.OutputFrame.get();
            ff::av_frame_unref(f);
            if (ff::av_frame_ref(f, source) < 0)
                e.raise_error("out-of-memory in encode_audio_frame()");
            ff::av_channel_layout_uninit(&f->ch_layout);
            ff::av_channel_layout_copy(&f->ch_layout, &enc->ch_layout);
        } else {
            f = FreshOutputFrame(e, ost, out.Samples);
            ff::av_samples_copy(f->extended_data, out.Planes, 0, 0, out.Samples, channels,
                                enc->sample_fmt);
        }
        e.encode_audio_frame(s, ost, f);
        return;
    }
    AVAudioFifo* fifo = ost.Fifo.get();
    if (!fifo) {
        ost.Fifo.reset(ff::av_audio_fifo_alloc(enc->sample_fmt, channels, out.Samples));
        if (!(fifo = ost.Fifo.get())) e.raise_error("av_fifo_realloc2() failed");
    }
    const int held = ff::av_audio_fifo_size(fifo);
    if (ff::av_audio_fifo_space(fifo) < out.Samples &&
        ff::av_audio_fifo_realloc(fifo, held + out.Samples) < 0)
        e.raise_error("av_fifo_realloc2() failed");
    if (ff::av_audio_fifo_write(fifo, reinterpret_cast<void**>(out.Planes), out.Samples) <
        out.Samples)
        e.raise_error("av_fifo_realloc2() failed");
    while (ff::av_audio_fifo_size(fifo) >= enc->frame_size) {
        AVFrame* f = FreshOutputFrame(e, ost, enc->frame_size);
        ff::av_audio_fifo_read(fifo, reinterpret_cast<void**>(f->extended_data), enc->frame_size);
        e.encode_audio_frame(s, ost, f);
    }
}

// Hands on what the resampler still holds (its filter delay), before it is replaced or at
// the end of input.
static void DrainResampler(TCustomFFmpeg& e, AVFormatContext* s, TOutputStream& ost) {
    if (!ost.AudioResample || !ost.Resampler) return;
    const AVCodecContext* enc = ost.CodecContext.get();
    const int ofmt = enc->sample_fmt;
    const int och = enc->ch_layout.nb_channels;
    const int osize = ff::av_get_bytes_per_sample(AVSampleFormat(ofmt));
    const int64_t bytes = int64_t(std::max(enc->frame_size, 4096)) * osize * och;
    if (!GrowBuffer(e.AudioBuf, e.AllocatedAudioBufSize, bytes))
        e.raise_error("Out of memory in do_audio_out()");
    const int room = int(e.AllocatedAudioBufSize / unsigned(osize * och));
    for (;;) {
        TSampleRun out;
        LayOutPlanes(out, e.AudioBuf.get(), ofmt, och, room);
        const int got = ff::swr_convert(ost.Resampler.get(), out.Planes, room, nullptr, 0);
        if (got <= 0) break;
        out.Samples = got;
        QueueSamples(e, s, ost, out, nullptr);
    }
}

void TCustomFFmpeg::do_audio_out(AVFormatContext* s, TOutputStream& ost, TInputStream& ist,
                                 AVFrame* decoded) {
    AVCodecContext* enc = ost.CodecContext.get();
    AVCodecContext* dec = ist.CodecContext.get();
    const int ifmt = decoded->format;
    const int irate = decoded->sample_rate > 0 ? decoded->sample_rate : dec->sample_rate;
    const int ich = decoded->ch_layout.nb_channels > 0 ? decoded->ch_layout.nb_channels
                                                       : dec->ch_layout.nb_channels;
    const int ofmt = enc->sample_fmt;
    const int orate = enc->sample_rate;
    const int och = enc->ch_layout.nb_channels;
    const int osize = ff::av_get_bytes_per_sample(AVSampleFormat(ofmt));
    if (ich < 1 || ich > MaxAudioChannels) raise_error("Unsupported number of input channels");
    if (och < 1 || och > MaxAudioChannels) raise_error("Unsupported number of output channels");
    const int method = GlobalOptions.AudioSyncMethod;

    TSampleRun in;
    for (int p = 0; p < PlaneCount(ifmt, ich); ++p)
        in.Planes[p] = decoded->extended_data[p];
    in.Samples = decoded->nb_samples;
    bool untouched = true;  // `in` is still exactly the decoded frame

    // Resampler: made when the formats differ (or sync stretching or a channel map needs
    // it), made anew when the decoder's output changes in mid-stream.
    if (och != ich || ofmt != ifmt || orate != irate) ost.AudioResample = true;
    const bool changed = ost.ResampleSampleFmt != ifmt || ost.ResampleChannels != ich ||
                         ost.ResampleSampleRate != irate;
    if (((ost.AudioResample || ost.AudioChannelsMapped > 0) && !ost.Resampler) || changed) {
        if (changed) {
            const char* old_name =
                ff::av_get_sample_fmt_name(AVSampleFormat(ost.ResampleSampleFmt));
            const char* new_name = ff::av_get_sample_fmt_name(AVSampleFormat(ifmt));
            FFLogger().Log(this, llInfo,
                           "Input stream #%d:%d frame changed from rate:%d fmt:%s ch:%d to "
                           "rate:%d fmt:%s ch:%d",
                           ist.FileIndex, ist.Stream->index, ost.ResampleSampleRate,
                           old_name ? old_name : "none", ost.ResampleChannels, irate,
                           new_name ? new_name : "none", ich);
            ost.ResampleSampleFmt = ifmt;
            ost.ResampleChannels = ich;
            ost.ResampleSampleRate = irate;
            DrainResampler(*this, s, ost);
            ost.Resampler.reset();
        }
        if (method > 1 || ost.AudioChannelsMapped > 0 || ofmt != ost.ResampleSampleFmt ||
            och != ost.ResampleChannels || orate != ost.ResampleSampleRate) {
            AVChannelLayout out_layout = ResamplerLayout(enc->ch_layout, och);
            AVChannelLayout in_layout = ResamplerLayout(decoded->ch_layout, ich);
            SwrContext* swr = nullptr;
            const int r =
                ff::swr_alloc_set_opts2(&swr, &out_layout, AVSampleFormat(ofmt), orate, &in_layout,
                                        AVSampleFormat(ifmt), irate, 0, nullptr);
            ff::av_channel_layout_uninit(&out_layout);
            ff::av_channel_layout_uninit(&in_layout);
            if (r >= 0 && swr) {
                ost.Resampler.reset(swr);
                if (ost.AudioChannelsMapped > 0) {
                    ff::swr_set_channel_mapping(swr, ost.AudioChannelMap);
                    ff::av_opt_set_int(swr, "uch", ost.AudioChannelsMapped, 0);
                }
                ff::av_opt_set_double(swr, "rmvol", double(ost.RematrixVolume), 0);
                if (method > 1) ff::av_opt_set_int(swr, "flags", SWR_FLAG_RESAMPLE, 0);
                if (ff::swr_init(swr) < 0) {
                    FFLogger().Log(this, llFatal, "swr_init() failed");
                    ost.Resampler.reset();
                }
            } else if (swr) {
                ff::swr_free(&swr);
            }
            if (!ost.Resampler)
                raise_error_fmt("Can not resample %d channels @ %d Hz to %d channels @ %d Hz", ich,
                                irate, och, orate);
            ost.AudioResample = true;
        } else {
            ost.AudioResample = false;
        }
    }

    // Keeping in step with the input: the samples the output should have reached by now
    // against those it has (written plus waiting in the FIFO).
    const TInputStream& sync = ost.SyncInput ? *ost.SyncInput : ist;
    const double sync_pos =
        double(sync.PTS - OutputFiles[size_t(ost.FileIndex)]->StartTime) / AV_TIME_BASE;
    const int fifo_samples = ost.Fifo ? ff::av_audio_fifo_size(ost.Fifo.get()) : 0;
    if (method == 0) {
        ost.SyncOutPTS = std::llrint(sync_pos * orate) - fifo_samples;
    } else {
        const double delta = sync_pos * orate - double(ost.SyncOutPTS) - fifo_samples;
        const double idelta_d = std::trunc(delta * irate / orate);
        const int idelta = int(std::clamp(idelta_d, double(INT_MIN / 2), double(INT_MAX / 2)));
        if (std::fabs(delta) > 50) {
            if (!ist.IsStart && std::fabs(delta) <= GlobalOptions.AudioDriftThreshold * orate) {
                if (method >= 2 && ost.Resampler) {
                    const int comp = std::clamp(int(delta), -method, method);
                    FFLogger().Log(this, llVerbose,
                                   "compensating audio timestamp drift:%f compensation:%d in:%d",
                                   delta, comp, orate);
                    ff::swr_set_compensation(ost.Resampler.get(), comp, orate);
                }
            } else if (idelta < 0) {
                const int drop = std::min(-idelta, in.Samples);
                const int64_t step = PlaneBytes(ifmt, ich, drop);
                for (int p = 0; p < PlaneCount(ifmt, ich); ++p)
                    in.Planes[p] += step;
                in.Samples -= drop;
                untouched = false;
                FFLogger().Log(this, llVerbose, "discarding %d audio samples", drop);
                if (in.Samples <= 0) return;
                ist.IsStart = false;
            } else if (idelta > 0) {
                const int64_t total = int64_t(idelta) + in.Samples;
                const int64_t bytes = PlaneBytes(ifmt, ich, total) * PlaneCount(ifmt, ich);
                if (bytes > INT_MAX) raise_error("Buffer sizes too large in do_audio_out()");
                if (!GrowBuffer(AudioSilenceBuf, AllocatedAudioSilenceSize, bytes))
                    raise_error("Out of memory in do_audio_out()");
                TSampleRun padded;
                LayOutPlanes(padded, AudioSilenceBuf.get(), ifmt, ich, int(total));
                const int64_t gap = PlaneBytes(ifmt, ich, idelta);
                const int64_t body = PlaneBytes(ifmt, ich, in.Samples);
                for (int p = 0; p < PlaneCount(ifmt, ich); ++p) {
                    make_silence(padded.Planes[p], ifmt, int(gap));
                    std::memcpy(padded.Planes[p] + gap, in.Planes[p], size_t(body));
                }
                padded.Samples = int(total);
                in = padded;
                untouched = false;
                ist.IsStart = false;
                FFLogger().Log(this, llVerbose, "adding %d audio samples of silence", idelta);
            }
        }
    }

    TSampleRun out;
    if (ost.AudioResample && ost.Resampler) {
        // Room for twice the resampled input plus headroom, at least one encoder frame.
        int64_t samples = (int64_t(in.Samples) * orate + irate) / irate;
        samples = std::max<int64_t>(samples * 2 + 10000, enc->frame_size);
        const int64_t bytes = samples * osize * och;
        if (bytes > INT_MAX) raise_error("Buffer sizes too large in do_audio_out()");
        if (!GrowBuffer(AudioBuf, AllocatedAudioBufSize, bytes))
            raise_error("Out of memory in do_audio_out()");
        const int room = int(AllocatedAudioBufSize / unsigned(osize * och));
        LayOutPlanes(out, AudioBuf.get(), ofmt, och, room);
        const int got = ff::swr_convert(ost.Resampler.get(), out.Planes, room,
                                        const_cast<const uint8_t**>(in.Planes), in.Samples);
        if (got < 0) raise_error(error_text("swr_convert() failed", got));
        out.Samples = got;
        untouched = false;
    } else {
        out = in;
    }
    QueueSamples(*this, s, ost, out, untouched ? decoded : nullptr);
}

int TCustomFFmpeg::encode_audio_frame(AVFormatContext* s, TOutputStream& ost, AVFrame* frame) {
    frame->pts = ost.SyncOutPTS;
    const int packets = encode_frame(s, ost, frame);
    ost.SyncOutPTS += frame->nb_samples;
    ff::av_frame_unref(frame);
    return packets;
}

void TCustomFFmpeg::flush_audio_fifo(AVFormatContext* s, TOutputStream& ost) {
    AVCodecContext* enc = ost.CodecContext.get();
    if (!ost.EncodingNeeded || !enc || enc->codec_type != AVMEDIA_TYPE_AUDIO) return;
    const int ofmt = enc->sample_fmt;
    const int och = enc->ch_layout.nb_channels;
    if (och < 1 || och > MaxAudioChannels) return;

    // Samples the resampler still holds (its filter delay) belong to the output too.
    DrainResampler(*this, s, ost);

    AVAudioFifo* fifo = ost.Fifo.get();
    if (TakesAnyFrameSize(enc) || !fifo) return;
    const int left = ff::av_audio_fifo_size(fifo);
    if (left <= 0) return;
    // The last frame is padded with silence unless the encoder takes a short one.
    const bool short_ok = enc->codec && (enc->codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME);
    const int samples = short_ok ? left : std::max(left, enc->frame_size);
    AVFrame* f = FreshOutputFrame(*this, ost, samples);
    ff::av_audio_fifo_read(fifo, reinterpret_cast<void**>(f->extended_data), left);
    if (samples > left) {
        const int64_t offset = PlaneBytes(ofmt, och, left);
        const int64_t pad = PlaneBytes(ofmt, och, samples - left);
        for (int p = 0; p < PlaneCount(ofmt, och); ++p)
            make_silence(f->extended_data[p] + offset, ofmt, int(pad));
    }
    encode_audio_frame(s, ost, f);
}

// Progress report of a running task and the per-frame video statistics file.
#include "src/FFLoad.h"
#include "src/FFLog.h"
#include "src/FFmpeg.h"

extern "C" {
#include <libavutil/avutil.h>
}

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace {

// A report line built with C formatting in a fixed 1024-byte text.
class TReportLine {
public:
    void Append(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
        if (len_ >= sizeof(buf_) - 1) return;
        va_list ap;
        va_start(ap, fmt);
        const int n = std::vsnprintf(buf_ + len_, sizeof(buf_) - len_, fmt, ap);
        va_end(ap);
        if (n > 0) len_ = std::min(sizeof(buf_) - 1, len_ + size_t(n));
    }
    const char* c_str() const { return buf_; }

private:
    char buf_[1024] = {};
    size_t len_ = 0;
};

constexpr double QP2Lambda = FF_QP2LAMBDA;

}  // namespace

double TCustomFFmpeg::psnr(double d) {
    return -10.0 * std::log10(d);
}

void TCustomFFmpeg::report_progress(int64_t now, int64_t start, bool is_last_report,
                                    int file_index) {
    if (!GlobalOptions.PrintStats && !is_last_report && !OnProgress) return;
    if (OutputFiles.empty()) return;

    int frame_number = -1;
    int fps = -1;
    float quality = -1.0f;
    int64_t smallest_pts = INT64_MAX;
    int64_t last_pts = 0;
    bool have_pts = false;

    // Bytes written so far: the output's size or its position, whichever is larger (the size
    // on disk lags behind what is still in the I/O buffer).
    int64_t total_size = 0;
    const AVFormatContext* oc = OutputFiles[0]->Context.get();
    if (oc && oc->pb) {
        total_size =
            std::max<int64_t>({0, ff::avio_size(oc->pb), ff::avio_seek(oc->pb, 0, SEEK_CUR)});
    }

    TReportLine line;
    bool video_reported = false;
    for (const auto& o : OutputStreams) {
        const TOutputStream& ost = *o;
        const AVCodecContext* enc = ost.CodecContext.get();
        const bool is_video = ost.Stream && ost.Stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
        const float q = (ost.StreamCopy || !enc || ost.CodedQuality < 0)
                            ? -1.0f
                            : float(ost.CodedQuality / QP2Lambda);
        if (video_reported && is_video) line.Append("q=%2.1f ", double(q));
        if (!video_reported && is_video) {
            frame_number = ost.FrameNumber;
            if (frame_number < 1) continue;
            const float t = float(now - start) / 1000000.0f;
            fps = t > 1.0f ? int(float(frame_number) / t + 0.5f) : 0;
            quality = q;
            line.Append("frame=%5d fps=%3d q=%3.1f ", frame_number, fps, double(q));
            if (is_last_report) line.Append("L");
            if (GlobalOptions.QPHist) {
                const long qp = std::lrint(q);
                if (qp >= 0 && qp < 52) ++GlobalOptions.QPHistogram[qp];
                for (int j = 0; j < 32; ++j)
                    line.Append("%X", unsigned(std::lrint(
                                          std::log2(double(GlobalOptions.QPHistogram[j]) + 1))));
            }
            if (enc && (enc->flags & AV_CODEC_FLAG_PSNR)) {
                double error_sum = 0, scale_sum = 0;
                line.Append("PSNR=");
                for (int j = 0; j < 3; ++j) {
                    double error, scale;
                    if (is_last_report) {
                        error = double(enc->error[j]);
                        scale = double(enc->width) * enc->height * 255.0 * 255.0 * frame_number;
                    } else {
                        error = double(ost.CodedError[j]);
                        scale = double(enc->width) * enc->height * 255.0 * 255.0;
                    }
                    if (j) scale /= 4;
                    error_sum += error;
                    scale_sum += scale;
                    line.Append("%c:%2.2f ", "YUV"[j], psnr(error / scale));
                }
                line.Append("*:%2.2f ", psnr(error_sum / scale_sum));
            }
            video_reported = true;
        }
        if (ost.Stream) {
            const int64_t pts = ff::av_rescale_q(ost.CurrentPTS, ost.Stream->time_base,
                                                 AVRational{1, AV_TIME_BASE});
            last_pts = pts;
            smallest_pts = std::min(smallest_pts, pts);
            have_pts = true;
        }
    }

    // No stream has a time yet: report time 0 rather than the sentinel.
    const int64_t pts = have_pts ? smallest_pts : 0;
    const int64_t secs = pts / AV_TIME_BASE;
    const int64_t us = pts % AV_TIME_BASE;
    const int hours = int(secs / 3600);
    const int mins = int((secs / 60) % 60);
    const int ss = int(secs % 60);
    const int hundredths = int((us * 100) / AV_TIME_BASE);
    const double bitrate = pts ? double(total_size) * 8 / (double(pts) / 1000.0) : 0;
    line.Append("size=%8.0fkB time=%02d:%02d:%02d.%02d bitrate=%6.1fkbits/s",
                double(total_size) / 1024.0, hours, mins, ss, hundredths, bitrate);

    if (DupFrames || DropFrames) line.Append(" dup=%d drop=%d", DupFrames, DropFrames);
    if (DupDropFlag && OnProgress) {
        DupDropFlag = false;
        FFLogger().Log(this, llInfo, std::string(line.c_str()));
    }

    if (OnProgress) {
        OnProgress(this, is_last_report ? -1 : file_index, frame_number, fps, quality,
                   float(bitrate), total_size, last_pts, TotalDuration);
    } else if (GlobalOptions.PrintStats) {
        FFLogger().Log(this, llInfo, std::string(line.c_str()));
    }

    if (is_last_report) {
        const int64_t raw = VideoSize + AudioSize + ExtraSize;
        // With nothing encoded there is no overhead to speak of (and no division by zero).
        const double overhead = raw ? 100.0 * double(total_size - raw) / double(raw) : 0.0;
        char text[1024];
        std::snprintf(text, sizeof(text),
                      "video:%1.0fkB audio:%1.0fkB global headers:%1.0fkB muxing overhead "
                      "%.2f%%\r\n",
                      double(VideoSize) / 1024.0, double(AudioSize) / 1024.0,
                      double(ExtraSize) / 1024.0, overhead);
        FFLogger().Log(this, llInfo, std::string(text));
        if (raw == 0)
            FFLogger().Log(this, llWarning,
                           std::string("Output file is empty, nothing was encoded (check -ss / "
                                       "-t / -frames parameters if used)"));
    }
}

void TCustomFFmpeg::write_video_stats(TOutputStream& ost, int frame_size) {
    if (!GlobalOptions.VStatsFile) {
        GlobalOptions.VStatsFile = ff::fopen(GlobalOptions.VStatsFileName.c_str(), "w");
        if (!GlobalOptions.VStatsFile) raise_error("fopen fail: " + GlobalOptions.VStatsFileName);
    }
    const AVCodecContext* enc = ost.CodecContext.get();
    if (!enc || enc->codec_type != AVMEDIA_TYPE_VIDEO) return;
    FILE* f = GlobalOptions.VStatsFile;
    ff::fprintf(f, "frame= %5d q= %2.1f ", ost.FrameNumber, ost.CodedQuality / QP2Lambda);
    if (enc->flags & AV_CODEC_FLAG_PSNR)
        ff::fprintf(
            f, "PSNR= %6.2f ",
            psnr(double(ost.CodedError[0]) / (double(enc->width) * enc->height * 255.0 * 255.0)));
    ff::fprintf(f, "f_size= %6d ", frame_size);
    const double tb = av_q2d(enc->time_base);
    const double ti = std::max(double(ost.SyncOutPTS) * tb, 0.01);
    const double bitrate = tb > 0 ? frame_size * 8 / tb / 1000.0 : 0;
    const double avg_bitrate = double(VideoSize) * 8 / ti / 1000.0;
    ff::fprintf(f, "s_size= %8.0fkB time= %0.3f br= %7.1fkbits/s avg_br= %7.1fkbits/s ",
                double(VideoSize) / 1024.0, ti, bitrate, avg_bitrate);
    ff::fprintf(f, "type= %c\n", ff::av_get_picture_type_char(AVPictureType(ost.CodedPictType)));
}

#include "output/recorder.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace kalvex {

// ---- Paths -------------------------------------------------------------------------

PathParts SplitPath(const std::wstring &path) {
    PathParts parts;
    size_t at = 0;
    if (path.size() >= 2 && path[1] == L':') {
        parts.drive = path.substr(0, 2);
        at = 2;
    }
    const size_t slash = path.find_last_of(L"\\/");
    size_t nameStart = at;
    if (slash != std::wstring::npos && slash >= at) {
        parts.directory = path.substr(at, slash + 1 - at);
        nameStart = slash + 1;
    }
    const size_t dot = path.find_last_of(L'.');
    if (dot != std::wstring::npos && dot >= nameStart) {
        parts.name = path.substr(nameStart, dot - nameStart);
        parts.extension = path.substr(dot);
    } else {
        parts.name = path.substr(nameStart);
    }
    return parts;
}

std::wstring NumberedPath(const PathParts &parts, int piece) {
    return parts.drive + parts.directory + parts.name + L"_" + std::to_wstring(piece) +
           parts.extension;
}

// ---- Recorder ----------------------------------------------------------------------

uint32_t CRecorder::FinishRate(uint32_t frames, uint32_t elapsedMs) {
    if (frames == 0 || elapsedMs == 0) return AviWriter::kDefaultRate * 100;
    const uint64_t rate = uint64_t{frames} * 100000u / elapsedMs;
    // Below 0.01 frames per second the figure would be 0, which no header can hold.
    return static_cast<uint32_t>(std::clamp<uint64_t>(rate, 1, UINT32_MAX));
}

int CRecorder::Start(int kind, const wchar_t *name, const CDibImage &raw, const CDibImage &colour) {
    switch (kind) {
        case kRecordRaw:
            streamBytes_ = 0;
            return stream_.OpenWrite(name) != nullptr ? 1 : 0;
        case kRecordAvi:
            firstFrameMs_ = lastFrameMs_ = 0;
            avi_.SetFormat(colour.Width(), colour.Height(), colour.BitCount());
            avi_.SetRate(AviWriter::kDefaultRate);
            avi_.SetFrameCount(0);
            return avi_.Open(name);
        case kRecordTemperature: {
            streamBytes_ = 0;
            if (stream_.OpenWrite(name) == nullptr) return 0;
            auto image = std::unique_ptr<CDibImage>(new (std::nothrow) CDibImage);
            if (!image || image->CreateInMemory(raw.Width(), raw.Height(), 32) == 0) {
                stream_.Close();
                return 0;
            }
            temperature_ = std::move(image);
            return 1;
        }
        default:
            return 0;
    }
}

bool CRecorder::WriteStream(const void *data, uint32_t size) {
    if (stream_.Write(data, size) == 1) {
        streamBytes_ += size;
        return true;
    }
    stream_.Seek(streamBytes_);
    stream_.Truncate();
    stream_.Close();
    temperature_.reset();
    return false;
}

int CRecorder::Write(int kind, const CDibImage &raw, const CDibImage &colour,
                     const ITemperatureRows &table, bool slotOrder, uint32_t elapsedMs,
                     bool *failed) {
    bool writeFailed = false;
    int result = 0;
    switch (kind) {
        case kRecordRaw: {
            if (!stream_.IsOpen() || raw.Empty()) break;
            const auto bytes = static_cast<uint32_t>(raw.ByteSize());
            if (slotOrder) {
                writeFailed = !WriteStream(raw.Pixels(), bytes);
                break;
            }
            try {
                scratch_.resize(bytes);
            } catch (const std::bad_alloc &) {
                break;
            }
            raw.CopyRowsReversed(scratch_.data(), scratch_.size());
            writeFailed = !WriteStream(scratch_.data(), bytes);
            break;
        }
        case kRecordAvi: {
            if (!avi_.IsOpen()) break;
            result = 1;
            if (colour.Empty()) break;
            const uint8_t *pixels = colour.Pixels();
            if (slotOrder) {
                try {
                    scratch_.resize(colour.ByteSize());
                } catch (const std::bad_alloc &) {
                    break;  // the frame is skipped
                }
                colour.CopyRowsReversed(scratch_.data(), scratch_.size());
                pixels = scratch_.data();
            }
            avi_.WriteFrame(pixels);
            if (avi_.Failed()) {
                writeFailed = true;
                FinishAvi(elapsedMs);
                break;
            }
            if (avi_.FrameCount() == 0) firstFrameMs_ = elapsedMs;
            lastFrameMs_ = elapsedMs;
            avi_.SetFrameCount(avi_.FrameCount() + 1);
            break;
        }
        case kRecordTemperature: {
            if (!stream_.IsOpen() || !temperature_ || raw.Empty()) break;
            const int32_t height = temperature_->Height();
            const int32_t width = std::min(temperature_->Width(), raw.Width());
            for (int32_t r = 0; r < height && r < raw.Height(); ++r) {
                const int32_t row = slotOrder ? r : raw.Height() - 1 - r;
                const auto *in = reinterpret_cast<const uint16_t *>(raw.Row(row));
                auto *out = reinterpret_cast<float *>(temperature_->Row(r));
                table.InterpolateRow(in, row, out, width);
            }
            writeFailed = !WriteStream(temperature_->Pixels(),
                                       static_cast<uint32_t>(temperature_->ByteSize()));
            break;
        }
        default:
            break;
    }
    if (failed != nullptr) *failed = writeFailed;
    return result;
}

void CRecorder::FinishAvi(uint32_t elapsedMs) {
    const uint32_t frames = avi_.FrameCount();
    const uint32_t span = lastFrameMs_ - firstFrameMs_;
    if (frames >= 2 && span != 0)
        avi_.SetRate(FinishRate(frames - 1, span));
    else
        avi_.SetRate(FinishRate(frames, frames == 0 ? 0 : elapsedMs - firstFrameMs_));
    avi_.Finish();
    avi_.Reset();
    firstFrameMs_ = lastFrameMs_ = 0;
}

bool CRecorder::PieceFull(int32_t splitLimitMiB) const {
    if (avi_.IsOpen() && !avi_.RoomForFrame()) return true;
    return static_cast<uint32_t>(splitLimitMiB) <= (RiffSize() >> 20);
}

int CRecorder::Stop(int kind, uint32_t elapsedMs) {
    switch (kind) {
        case kRecordRaw:
            stream_.Close();
            return 1;
        case kRecordTemperature:
            stream_.Close();
            temperature_.reset();
            return 1;
        case kRecordAvi:
            if (avi_.IsOpen()) FinishAvi(elapsedMs);
            return 1;
        default:
            return 0;
    }
}

}  // namespace kalvex

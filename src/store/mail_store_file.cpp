// Opening and merge-saving a record file of a mail store.
#include "store/mail_store_file.h"

#include <optional>
#include <string>

namespace kestrune {

MailStoreFile::MailStoreFile(const RecordFile::Layout& layout) : record_file_(layout) {}

int MailStoreFile::RecordCount() const {
  return static_cast<int>(records_.size() / record_file_.GetLayout().record_size);
}

bool MailStoreFile::Open(const std::filesystem::path& directory) {
  auto file = std::make_unique<DataFile>(directory / record_file_.GetLayout().file_name);
  Header header;
  RecordArray records;
  if (!record_file_.ReadOrStart(*file, directory, header, records)) return false;
  header_ = std::move(header);
  records_ = std::move(records);
  directory_ = directory;
  file_ = std::move(file);
  base_count_ = RecordCount();
  ForgetChanges();
  open_ = true;
  return true;
}

std::vector<std::uint8_t> MailStoreFile::BuildImage(const Header& header, RecordArray& records) {
  PrepareForWriting(records);
  return record_file_.BuildImage(header, records);
}

std::vector<std::uint8_t> MailStoreFile::ImageOfCopy(const Header& header) {
  if (!ReportsRecordChanges()) return BuildImage(header, records_);
  return record_file_.UpdateImage(header, records_);
}

void MailStoreFile::RecordsChanged(int first, int count) {
  const std::size_t size = record_file_.GetLayout().record_size;
  record_file_.RecordsChanged(static_cast<std::size_t>(first - 1) * size,
                              static_cast<std::size_t>(count) * size);
}

void MailStoreFile::LoadCurrent(const std::vector<std::uint8_t>& bytes, Header& header,
                                RecordArray& records) {
  if (!record_file_.MagicMatches(bytes)) {
    throw DamagedFileError(std::string(record_file_.GetLayout().file_name) +
                           " was replaced by a file of another kind");
  }
  record_file_.Load(bytes, header, records);
}

void MailStoreFile::Save(const std::filesystem::path& directory) {
  if (!open_) return;
  const std::filesystem::path target = directory / record_file_.GetLayout().file_name;
  if (!IsSameDataFile(target, file_->Path())) {
    Header header = header_;
    RecordArray records = records_;
    DataFile(target).Modify([&](const CurrentFile&) { return BuildImage(header, records); });
    return;
  }
  // Records are written from this copy itself when nobody saved since; a copy of a big
  // index is made only to merge or when writing rearranges them.
  Header header = header_;
  std::optional<RecordArray> merged;
  bool need_flush = ChangesNeedFlush();
  try {
    file_->Modify(
        [&](const CurrentFile& current) {
          // When the file vanished, this copy is all that is left of it and is written whole
          // (and flushed, whatever changed).
          need_flush = need_flush || (current.changed && !current.bytes);
          if (current.changed && current.bytes) {
            merged.emplace();
            LoadCurrent(*current.bytes, header, *merged);
            MergeInto(*merged);
            // The kept compressed form no longer matches either array: the merged one is
            // written whole and becomes the copy.
            record_file_.ForgetRecords();
            if (ReportsRecordChanges()) return record_file_.UpdateImage(header, *merged);
          } else if (RearrangesRecordsForWriting()) {
            merged = records_;
          } else {
            return ImageOfCopy(header);
          }
          return BuildImage(header, *merged);
        },
        [&] { return need_flush ? Flush::kDurable : Flush::kUnflushed; });
  } catch (...) {
    if (merged) record_file_.ForgetRecords();  // it may describe the merged array
    throw;
  }
  header_ = std::move(header);
  if (merged) records_ = std::move(*merged);
  base_count_ = RecordCount();
  ForgetChanges();
}

void MailStoreFile::ChangeUnderLock(const std::function<void()>& change) {
  if (!open_) return;
  std::optional<RecordArray> written;
  // Unsaved changes this copy held before (a failed save) are written with the new ones.
  bool need_flush = ChangesNeedFlush();
  file_->Modify(
      [&](const CurrentFile& current) {
        need_flush = need_flush || (current.changed && !current.bytes);
        if (current.changed && current.bytes) {
          Header header = header_;
          RecordArray records;
          LoadCurrent(*current.bytes, header, records);
          MergeInto(records);
          record_file_.ForgetRecords();
          header_ = std::move(header);
          records_ = std::move(records);
          base_count_ = RecordCount();
          ForgetChanges();
        }
        change();
        need_flush = need_flush || ChangesNeedFlush();
        if (!RearrangesRecordsForWriting()) return ImageOfCopy(header_);
        written = records_;
        return BuildImage(header_, *written);
      },
      [&] { return need_flush ? Flush::kDurable : Flush::kUnflushed; });
  if (written) records_ = std::move(*written);
  base_count_ = RecordCount();
  ForgetChanges();
}

bool MailStoreFile::Close() {
  if (!open_) return false;
  open_ = false;
  return true;
}

}  // namespace kestrune

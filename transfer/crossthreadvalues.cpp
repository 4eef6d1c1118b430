#include "transfer/crossthreadvalues.h"

GuardedValue<QString> saveFilePath;
std::atomic<ExistingFiles> existingFilesRule{ExistingFiles::Overwrite};
GuardedValue<QByteArray> rawData;
std::atomic<quint64> recFileSize{0};
std::atomic<quint64> recFileBytes{0};
std::atomic<quint64> recTotalBytes{0};
GuardedValue<QString> file_md5;

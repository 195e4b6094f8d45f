// The tool's fixed texts. The Chinese ones are code page 936 (GBK) bytes, handed to the
// A-suffixed Win32 functions unchanged; on a system with another ANSI code page they show as
// those bytes read in that code page, and nothing converts them.
#pragma once

/// The maker's key, below the registry root.
inline constexpr char RepairSubKeyPath[] = "SoftWare\\Morvantis";
/// Holds the quotes application's install directory.
inline constexpr char RepairValueName[] = "FilePath";
/// The file the repair deletes from the install directory.
inline constexpr char RepairFileName[] = "FundNameTable.txt";

// The bytes stay grouped as they are read.
// clang-format off

/// 提示 (Notice)
inline constexpr char RepairCaption[] = "\xCC\xE1\xCA\xBE";
/// 您的程序已经成功修复，请重新启动行情程序。
/// (Your program has been repaired successfully; please restart the quotes program.)
inline constexpr char RepairSucceededMessage[] =
    "\xC4\xFA\xB5\xC4\xB3\xCC\xD0\xF2\xD2\xD1\xBE\xAD\xB3\xC9\xB9\xA6\xD0\xDE\xB8\xB4\xA3\xAC"
    "\xC7\xEB\xD6\xD8\xD0\xC2\xC6\xF4\xB6\xAF\xD0\xD0\xC7\xE9\xB3\xCC\xD0\xF2\xA1\xA3";
/// 抱歉，修复失败，请拨打客服热线:4870-2316。
/// (Sorry, the repair failed; please call the customer-service hotline: 4870-2316.)
inline constexpr char RepairFailedMessage[] =
    "\xB1\xA7\xC7\xB8\xA3\xAC\xD0\xDE\xB8\xB4\xCA\xA7\xB0\xDC\xA3\xAC"
    "\xC7\xEB\xB2\xA6\xB4\xF2\xBF\xCD\xB7\xFE\xC8\xC8\xCF\xDF" ":4870-2316" "\xA1\xA3";

// clang-format on

static_assert(sizeof(RepairSubKeyPath) == 18 + 1 && sizeof(RepairValueName) == 8 + 1 &&
                  sizeof(RepairFileName) == 17 + 1 && sizeof(RepairCaption) == 4 + 1 &&
                  sizeof(RepairSucceededMessage) == 42 + 1 && sizeof(RepairFailedMessage) == 42 + 1,
    "each text is stored with exactly one terminating NUL");

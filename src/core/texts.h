// The one catalogue of the texts the system shows. The sources are UTF-8 and are
// compiled to code page 932, so these are the exact bytes of the boxes.
#pragma once

#define TEXT_READ_ERROR "読み込みエラー"
#define TEXT_OPEN_ERROR "オープンエラー"
#define TEXT_CLOSE_ERROR "クローズエラー"
#define TEXT_WRITE_ERROR "書き込みエラー"
#define TEXT_MISSING_DATA "データが欠落しています"
#define TEXT_TAMPERED "改竄されています"
#define TEXT_BAD_HEADER "ヘッダーの内容が不正"
#define TEXT_CRC_ERROR "CRC エラー"
#define TEXT_BAD_TABLE "Bad table"
#define TEXT_NO_MEMORY "メモリが足りません"
#define TEXT_OVERWRITE "上書きしますか？"
#define TEXT_BAD_FOLDER "ﾃﾞｨﾚｸﾄﾘ名が正しくありません"
#define TEXT_PROGRESS_ZERO "解凍中 0%"
#define TEXT_PROGRESS_PREFIX "解凍中 "      // followed by the percentage and "%"
#define TEXT_CHOOSER_TITLE "ﾃﾞｨﾚｸﾄﾘの参照"
#define TEXT_CLASS_STRING "(標準)"
// Whole default title: at most 40 bytes.
#define TEXT_DEFAULT_TITLE "LZH 自己解凍書庫 1.0"

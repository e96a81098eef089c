#include "ctl/Ctl.h"

namespace norvex::ctl {

QString helpText()
{
    return QStringLiteral(
        "使い方: norvexctl <サブコマンド> [引数]\n"
        "Norvex のバックアップ設定とバックアップサービスをコマンドラインから操作します。\n"
        "\n"
        "サブコマンド:\n"
        "  list [--json]                  バックアップ設定の一覧\n"
        "  show NAME [--json]             一つの設定と前回の結果\n"
        "  add NAME [OPTIONS] SOURCE...   設定の追加（SOURCE はバックアップ対象）\n"
        "  change NAME [OPTIONS] [--name NEW] [--source PATH]...\n"
        "                                 設定の変更（--source は対象を置き換えます）\n"
        "  delete NAME [--yes]            設定の削除\n"
        "  run NAME [--wait]              すぐにバックアップ開始（--wait は終了まで待ちます）\n"
        "  check NAME                     バックアップ先への接続チェック\n"
        "  log [--since DATE] [--job NAME] [--level E|W|I] [--follow]\n"
        "                                 イベントログ（新しいものが最後）\n"
        "  service install|uninstall|start|stop|status\n"
        "                                 バックアップサービスの操作\n"
        "\n"
        "OPTIONS (add, change):\n"
        "  --local DIR | --sftp USER@HOST[:PORT] | --ftp USER@HOST[:PORT]\n"
        "  --remote-dir DIR               サーバ上の保存フォルダ（--folder と同じ）\n"
        "  --key FILE                     SFTP の秘密鍵\n"
        "  --password-file FILE           サーバのパスワード（\"-\" は標準入力）\n"
        "  --passive | --active, --tls | --no-tls     FTP の接続モードと暗号化\n"
        "  --every N{h|d}                 バックアップ間隔（1〜23、例 1d, 12h）\n"
        "  --start \"yyyy/mm/dd hh:mm\"     バックアップ取得開始時間\n"
        "  --folder NAME | --no-folder    バックアップ先にフォルダ作成\n"
        "  --generations N | --no-generations        世代管理（2〜7）\n"
        "  --zip | --7z                   圧縮方式\n"
        "  --zip-password-file FILE | --no-zip-password   圧縮時パスワード（7Z のみ）\n"
        "  --exclude PATTERN | --no-exclude   除外するファイル、フォルダ（繰り返し可、例\n"
        "                                 node_modules/  *.tmp）\n"
        "パスワードはコマンドラインには書けません（プロセス一覧で誰にでも見えるため）。\n"
        "標準入力から読むオプションは一つだけです。\n"
        "\n"
        "--level は指定した種別とそれより重いものを表示します（E: エラー、W: 警告、I: 情報）。\n"
        "\n"
        "終了コード:\n"
        "  0  成功\n"
        "  1  失敗\n"
        "  2  使い方の誤り\n"
        "  3  バックアップ処理中のため拒否\n"
        "  4  指定したバックアップ設定がない\n"
        "\n"
        "環境変数 NORVEX_HOME はインストールフォルダを指定します。\n");
}

} // namespace norvex::ctl

#pragma once
// reports: the one format every failure is reported in, the exit that ends a
// run, and the list of every report site the system has.

struct report_site {
    const char* unit;      // "../util", "../quokkavm", "../nativeword" or "dummy"
    int line;
    const char* function;
    const char* message;   // Shift-JIS bytes
};

// Writes the report to the standard error stream; the caller goes on.
void fail_report(const report_site& site);

// Told of each report in place of the standard text, after the standard
// output is flushed: a tool that runs scripts (qka-check --run) names the
// script's token there. The interpreter never sets it; unset, it costs one
// test on the way to a report and nothing on any other path.
using report_observer = void (*)(const report_site& site);
inline constinit report_observer observe_report = nullptr;

// Writes the exit line and ends the process with status; std::exit flushes
// the standard output. A build with QKA_FAIL_THROWS throws fatal_exit instead,
// so that a harness can run many scripts in one process.
[[noreturn]] void fail_exit(int status);

// Ends the run with a report when writing to the standard output has failed
// (a closed pipe, a full device): output that is lost must not pass as success.
void check_output();

struct fatal_exit {
    int status;
};

// Every report the system makes, in one place. Unit, line and function name
// the site; they are fixed data that stay put when the code moves.
namespace sites {

// usage: qka ScriptFilename
inline constexpr report_site usage{
    "dummy", 17, "main",
    "\x75\x73\x61\x67\x65\x3a\x20\x71\x6b\x61\x20\x53\x63\x72\x69\x70\x74\x46"
    "\x69\x6c\x65\x6e\x61\x6d\x65"};

// ファイルを開けません。 (the file cannot be opened)
inline constexpr report_site cannot_open{
    "dummy", 23, "main",
    "\x83\x74\x83\x40\x83\x43\x83\x8b\x82\xf0\x8a\x4a\x82\xaf\x82\xdc\x82\xb9"
    "\x82\xf1\x81\x42"};

// " : の後にワード名が書かれていません。文法違反です。" (no word name after ':')
inline constexpr report_site missing_word_name{
    "../quokkavm", 112, "create_word_suffix_array",
    "\x20\x3a\x20\x82\xcc\x8c\xe3\x82\xc9\x83\x8f\x81\x5b\x83\x68\x96\xbc\x82"
    "\xaa\x8f\x91\x82\xa9\x82\xea\x82\xc4\x82\xa2\x82\xdc\x82\xb9\x82\xf1\x81"
    "\x42\x95\xb6\x96\x40\x88\xe1\x94\xbd\x82\xc5\x82\xb7\x81\x42"};

// ワード管理用の領域が確保出来ませんでした。 (the word index cannot grow)
inline constexpr report_site index_cannot_grow{
    "../quokkavm", 78, "extend_sarray",
    "\x83\x8f\x81\x5b\x83\x68\x8a\xc7\x97\x9d\x97\x70\x82\xcc\x97\xcc\x88\xe6"
    "\x82\xaa\x8a\x6d\x95\xdb\x8f\x6f\x97\x88\x82\xdc\x82\xb9\x82\xf1\x82\xc5"
    "\x82\xb5\x82\xbd\x81\x42"};

// 未定義のワードの呼び出しです。 (call of an undefined word)
inline constexpr report_site undefined_word{
    "../quokkavm", 325, "forth_vm_exec",
    "\x96\xa2\x92\xe8\x8b\x60\x82\xcc\x83\x8f\x81\x5b\x83\x68\x82\xcc\x8c\xc4"
    "\x82\xd1\x8f\x6f\x82\xb5\x82\xc5\x82\xb7\x81\x42"};

// 呼び出しのネストが深すぎます。 (calls nested too deeply)
inline constexpr report_site nesting_too_deep{
    "../quokkavm", 330, "forth_vm_exec",
    "\x8c\xc4\x82\xd1\x8f\x6f\x82\xb5\x82\xcc\x83\x6c\x83\x58\x83\x67\x82\xaa"
    "\x90\x5b\x82\xb7\x82\xac\x82\xdc\x82\xb7\x81\x42"};

// 文字列の終端がありません。 (the string has no end)
inline constexpr report_site unterminated_string{
    "../util", 306, "token2string_word",
    "\x95\xb6\x8e\x9a\x97\xf1\x82\xcc\x8f\x49\x92\x5b\x82\xaa\x82\xa0\x82\xe8"
    "\x82\xdc\x82\xb9\x82\xf1\x81\x42"};

// 値スタックがアンダーフローです。 (value stack underflow)
inline constexpr report_site stack_underflow{
    "../util", 134, "word_pop",
    "\x92\x6c\x83\x58\x83\x5e\x83\x62\x83\x4e\x82\xaa\x83\x41\x83\x93\x83\x5f"
    "\x81\x5b\x83\x74\x83\x8d\x81\x5b\x82\xc5\x82\xb7\x81\x42"};

// 値スタックがオーバーフローです。 (value stack overflow)
inline constexpr report_site stack_overflow{
    "../util", 125, "word_push",
    "\x92\x6c\x83\x58\x83\x5e\x83\x62\x83\x4e\x82\xaa\x83\x49\x81\x5b\x83\x6f"
    "\x81\x5b\x83\x74\x83\x8d\x81\x5b\x82\xc5\x82\xb7\x81\x42"};

// 存在しない変数を読もうとしました。 (read of a variable below 0)
inline constexpr report_site variable_below_range{
    "../util", 371, "get_variable",
    "\x91\xb6\x8d\xdd\x82\xb5\x82\xc8\x82\xa2\x95\xcf\x90\x94\x82\xf0\x93\xc7"
    "\x82\xe0\x82\xa4\x82\xc6\x82\xb5\x82\xdc\x82\xb5\x82\xbd\x81\x42"};

// 存在しない変数を読もうとしました。 (read of a variable above 95)
inline constexpr report_site variable_above_range{
    "../util", 380, "get_variable",
    "\x91\xb6\x8d\xdd\x82\xb5\x82\xc8\x82\xa2\x95\xcf\x90\x94\x82\xf0\x93\xc7"
    "\x82\xe0\x82\xa4\x82\xc6\x82\xb5\x82\xdc\x82\xb5\x82\xbd\x81\x42"};

// 書き込み不可能な変数への書き込みです。 (write to a variable that cannot be written)
inline constexpr report_site variable_not_writable{
    "../nativeword", 419, "nw_set",
    "\x8f\x91\x82\xab\x8d\x9e\x82\xdd\x95\x73\x89\xc2\x94\x5c\x82\xc8\x95\xcf"
    "\x90\x94\x82\xd6\x82\xcc\x8f\x91\x82\xab\x8d\x9e\x82\xdd\x82\xc5\x82\xb7"
    "\x81\x42"};

// 0割り。 (division by zero)
inline constexpr report_site div_by_zero{
    "../nativeword", 66, "nw_div", "\x30\x8a\x84\x82\xe8\x81\x42"};

// 0割り。 (division by zero)
inline constexpr report_site mod_by_zero{
    "../nativeword", 79, "nw_mod", "\x30\x8a\x84\x82\xe8\x81\x42"};

// 飛び先のラベルが指定されていません。 (no jump label given)
inline constexpr report_site down_no_reference{
    "../nativeword", 215, "nw_goto_down",
    "\x94\xf2\x82\xd1\x90\xe6\x82\xcc\x83\x89\x83\x78\x83\x8b\x82\xaa\x8e\x77"
    "\x92\xe8\x82\xb3\x82\xea\x82\xc4\x82\xa2\x82\xdc\x82\xb9\x82\xf1\x81\x42"};

// 不正な飛び先ラベル指定です。 (invalid jump label reference)
inline constexpr report_site down_bad_reference{
    "../nativeword", 217, "nw_goto_down",
    "\x95\x73\x90\xb3\x82\xc8\x94\xf2\x82\xd1\x90\xe6\x83\x89\x83\x78\x83\x8b"
    "\x8e\x77\x92\xe8\x82\xc5\x82\xb7\x81\x42"};

// 飛び先のラベルが見つかりません。 (jump label not found)
inline constexpr report_site down_label_not_found{
    "../nativeword", 234, "nw_goto_down",
    "\x94\xf2\x82\xd1\x90\xe6\x82\xcc\x83\x89\x83\x78\x83\x8b\x82\xaa\x8c\xa9"
    "\x82\xc2\x82\xa9\x82\xe8\x82\xdc\x82\xb9\x82\xf1\x81\x42"};

// 飛び先のラベルが指定されていません。 (no jump label given)
inline constexpr report_site up_no_reference{
    "../nativeword", 252, "nw_goto_up",
    "\x94\xf2\x82\xd1\x90\xe6\x82\xcc\x83\x89\x83\x78\x83\x8b\x82\xaa\x8e\x77"
    "\x92\xe8\x82\xb3\x82\xea\x82\xc4\x82\xa2\x82\xdc\x82\xb9\x82\xf1\x81\x42"};

// 不正な飛び先ラベル指定です。 (invalid jump label reference)
inline constexpr report_site up_bad_reference{
    "../nativeword", 254, "nw_goto_up",
    "\x95\x73\x90\xb3\x82\xc8\x94\xf2\x82\xd1\x90\xe6\x83\x89\x83\x78\x83\x8b"
    "\x8e\x77\x92\xe8\x82\xc5\x82\xb7\x81\x42"};

// 飛び先のラベルが見つかりません。 (jump label not found)
inline constexpr report_site up_label_not_found{
    "../nativeword", 270, "nw_goto_up",
    "\x94\xf2\x82\xd1\x90\xe6\x82\xcc\x83\x89\x83\x78\x83\x8b\x82\xaa\x8c\xa9"
    "\x82\xc2\x82\xa9\x82\xe8\x82\xdc\x82\xb9\x82\xf1\x81\x42"};

// コメントが終わらないのにスクリプト終端に達しました。 (the text ends inside a comment)
inline constexpr report_site unterminated_comment{
    "../nativeword", 395, "nw_comment",
    "\x83\x52\x83\x81\x83\x93\x83\x67\x82\xaa\x8f\x49\x82\xed\x82\xe7\x82\xc8"
    "\x82\xa2\x82\xcc\x82\xc9\x83\x58\x83\x4e\x83\x8a\x83\x76\x83\x67\x8f\x49"
    "\x92\x5b\x82\xc9\x92\x42\x82\xb5\x82\xdc\x82\xb5\x82\xbd\x81\x42"};

// 引数が範囲外。 (argument out of range)
inline constexpr report_site on_goto_out_of_range{
    "../nativeword", 442, "nw_on_goto",
    "\x88\xf8\x90\x94\x82\xaa\x94\xcd\x88\xcd\x8a\x4f\x81\x42"};

// 飛び先のラベルがありません。 (a jump label is missing)
inline constexpr report_site on_goto_missing_reference{
    "../nativeword", 450, "nw_on_goto",
    "\x94\xf2\x82\xd1\x90\xe6\x82\xcc\x83\x89\x83\x78\x83\x8b\x82\xaa\x82\xa0"
    "\x82\xe8\x82\xdc\x82\xb9\x82\xf1\x81\x42"};

// 不正な飛び先ラベル指定です。 (invalid jump label reference)
inline constexpr report_site on_goto_bad_reference{
    "../nativeword", 456, "nw_on_goto",
    "\x95\x73\x90\xb3\x82\xc8\x94\xf2\x82\xd1\x90\xe6\x83\x89\x83\x78\x83\x8b"
    "\x8e\x77\x92\xe8\x82\xc5\x82\xb7\x81\x42"};

// スクリプトの終端に達しました。 (reached the end of the script)
inline constexpr report_site on_goto_end_of_script{
    "../nativeword", 470, "nw_on_goto",
    "\x83\x58\x83\x4e\x83\x8a\x83\x76\x83\x67\x82\xcc\x8f\x49\x92\x5b\x82\xc9"
    "\x92\x42\x82\xb5\x82\xdc\x82\xb5\x82\xbd\x81\x42"};

// 標準出力に書き込めません。 (the standard output cannot be written)
inline constexpr report_site output_lost{
    "../util", 150, "check_output",
    "\x95\x57\x8f\x80\x8f\x6f\x97\xcd\x82\xc9\x8f\x91\x82\xab\x8d\x9e\x82\xdf"
    "\x82\xdc\x82\xb9\x82\xf1\x81\x42"};

}  // namespace sites

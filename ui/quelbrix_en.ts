<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="ja">
<context>
    <name>Controls</name>
    <message><source>読込ファイル</source><translation>Read file</translation></message>
    <message><source>読込先開く</source><translation>Open read folder</translation></message>
    <message><source>出力先開く</source><translation>Open output folder</translation></message>
    <message><source>ロードファイル</source><translation>Load file</translation></message>
    <message><source>ロード先開く</source><translation>Open load folder</translation></message>
    <message><source>エディタ開く</source><translation>Open editor</translation></message>
    <message><source>読込</source><translation>Read</translation></message>
    <message><source>検索(日付有)</source><translation>Search (dates)</translation></message>
    <message><source>検索(日付無)</source><translation>Search (no dates)</translation></message>
    <message><source>修正</source><translation>Repair</translation></message>
    <message><source>デフラグ</source><translation>Defrag</translation></message>
    <message><source>書込</source><translation>Write</translation></message>
    <message><source>Ｒｅｇ保存</source><translation>Reg save</translation></message>
    <message><source>ハイブロード</source><translation>Hive load</translation></message>
    <message><source>サブキー削除</source><translation>Delete subkeys</translation></message>
    <message><source>ハイブ再構築</source><translation>Hive rebuild</translation></message>
    <message><source>ハイブアンロード</source><translation>Hive unload</translation></message>
    <message><source>中止</source><translation>Abort</translation></message>
    <message><source>終了</source><translation>Exit</translation></message>
    <message><source>出力先に保存(～.tmp)</source><translation>Save to the output folder (~.tmp)</translation></message>
    <message><source>ＯＫ</source><translation>OK</translation></message>
    <message><source>キャンセル</source><translation>Cancel</translation></message>
</context>
<context>
    <name>quelbrix::ui::RegSaveDialog</name>
    <message><source>Ｒｅｇ保存</source><translation>Reg save</translation></message>
</context>
<context>
    <name>quelbrix::ui::RegistryBrowser</name>
    <message><source>レジストリ (読み取り専用)</source><translation>Registry (read-only)</translation></message>
    <message><source>キー</source><translation>Key</translation></message>
    <message><source>名前</source><translation>Name</translation></message>
    <message><source>種類</source><translation>Type</translation></message>
    <message><source>データ</source><translation>Data</translation></message>
    <message><source>%1 (読み取り専用)</source><translation>%1 (read-only)</translation></message>
    <message><source>%1: ハイブがありません</source><translation>%1: no hive</translation></message>
    <message><source>(既定)</source><translation>(Default)</translation></message>
</context>
<context>
    <name>Menus</name>
    <message><source>ファイル(&amp;F)</source><translation>&amp;File</translation></message>
    <message><source>コマンド(&amp;C)</source><translation>&amp;Commands</translation></message>
    <message><source>表示(&amp;V)</source><translation>&amp;View</translation></message>
    <message><source>ヘルプ(&amp;H)</source><translation>&amp;Help</translation></message>
    <message><source>バージョン情報(&amp;A)...</source><translation>&amp;About Quelbrix...</translation></message>
</context>
<context>
    <name>quelbrix::ui::StatusBar</name>
    <message><source>thread=N: 実行中の作業スレッドの数 (動いている間は赤)</source><translation>thread=N: the number of worker threads running now (red while any runs)</translation></message>
    <message><source>read: ハイブをメモリに読込済みなら赤</source><translation>read: red once a hive has been read into memory</translation></message>
    <message><source>repair: メモリ上のハイブを修正済みなら赤</source><translation>repair: red once the hive in memory has been repaired</translation></message>
    <message><source>defrag: メモリ上のハイブをデフラグ済みなら赤</source><translation>defrag: red once the hive in memory has been defragmented</translation></message>
    <message><source>write: 修正またはデフラグしたハイブをファイルに書込済みなら赤</source><translation>write: red once the repaired or defragmented hive has been written to its file</translation></message>
    <message><source>load: ハイブが HKLM\Rebuild にロードされている間は赤</source><translation>load: red while a hive is mounted under HKLM\Rebuild</translation></message>
    <message><source>delete: ロードしたハイブのサブキーを削除済みなら赤</source><translation>delete: red once the subkeys of the mounted hive have been deleted</translation></message>
    <message><source>rebuild: 読み込んだハイブをロードしたハイブに再構築済みなら赤</source><translation>rebuild: red once the hive read has been rebuilt into the mounted hive</translation></message>
</context>
</TS>

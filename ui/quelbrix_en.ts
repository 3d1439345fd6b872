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
</TS>

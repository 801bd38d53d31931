#!/usr/bin/env bash
# Writes a case with COUNT devices: alternately present and phantom, every hundredth
# one refused, so that order, completeness and refusal lines can all be checked.
# usage: many-devices.sh COUNT CASE-DIR
set -eu
count=$1 dir=$2
mkdir -p "$dir"
LC_ALL=C awk -v count="$count" -v dir="$dir" '
# Every line of output, and every call with how far the output had got by then.
function out(line) { print line > (dir "/stdout"); position += length(line) + 1 }
function call(text) { printf "[stdout %d] %s\n", position, text > (dir "/calls") }
BEGIN {
    print "0" > (dir "/status")
    printf "" > (dir "/machine")
    out("Halvern utility: searches for new/phantom devices.")
    out("Version @VERSION@, 2026. Copyright (c) 2026 the Halvern developers, MIT License.")
    out("")
    call("SetupDiGetClassDevsA(class={4D36E978-E325-11CE-BFC1-08002BE10318}, enumerator=NULL, parent=NULL, flags=0x0) = set")
    for (i = 0; i < count; i++) {
        id = sprintf("FTDIBUS\\VID_0403+PID_6001+A%07d\\0000", i)
        node = count - 1 - i
        refused = i % 100 == 99
        printf "device %s %s%s\n", (i % 2 ? "phantom" : "present"), id, (refused ? " refuse=0x33" : "") > (dir "/machine")
        call(sprintf("SetupDiEnumDeviceInfo(set, index=%d, cbSize=ok) = TRUE, node=%d", i, node))
        call(sprintf("CM_Get_Device_IDA(node=%d, length=512, flags=0x0) = 0x0", node))
        out("Device id: " id)
        call(sprintf("CM_Reenumerate_DevNode(node=%d, flags=0x0) = 0x%s", node, (refused ? "33" : "0")))
        if (refused) out("CM_Reenumerate_DevNode failed: 33")
    }
    call(sprintf("SetupDiEnumDeviceInfo(set, index=%d, cbSize=ok) = FALSE, error 0x103", count))
    call("SetupDiDestroyDeviceInfoList(set) = TRUE")
}'

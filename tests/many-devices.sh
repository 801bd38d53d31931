#!/usr/bin/env bash
# Writes a case with COUNT devices: alternately present and phantom, every hundredth
# one refused, so that order, completeness and refusal lines can all be checked.
# usage: many-devices.sh COUNT CASE-DIR
set -eu
count=$1 dir=$2
mkdir -p "$dir"
awk -v count="$count" -v dir="$dir" 'BEGIN {
    print "0" > (dir "/status")
    print "Halvern utility: searches for new/phantom devices." > (dir "/stdout")
    print "Version @VERSION@, 2026. Copyright (c) 2026 the Halvern developers, MIT License." > (dir "/stdout")
    print "" > (dir "/stdout")
    print "SetupDiGetClassDevsA(class={4D36E978-E325-11CE-BFC1-08002BE10318}, enumerator=NULL, parent=NULL, flags=0x0) = set" > (dir "/calls")
    for (i = 0; i < count; i++) {
        id = sprintf("FTDIBUS\\VID_0403+PID_6001+A%07d\\0000", i)
        node = count - 1 - i
        refused = i % 100 == 99
        printf "device %s %s%s\n", (i % 2 ? "phantom" : "present"), id, (refused ? " refuse=0x33" : "") > (dir "/machine")
        print "Device id: " id > (dir "/stdout")
        if (refused) print "CM_Reenumerate_DevNode failed: 33" > (dir "/stdout")
        printf "SetupDiEnumDeviceInfo(set, index=%d, cbSize=ok) = TRUE, node=%d\n", i, node > (dir "/calls")
        printf "CM_Get_Device_IDA(node=%d, length=512, flags=0x0) = 0x0\n", node > (dir "/calls")
        printf "CM_Reenumerate_DevNode(node=%d, flags=0x0) = 0x%s\n", node, (refused ? "33" : "0") > (dir "/calls")
    }
    printf "SetupDiEnumDeviceInfo(set, index=%d, cbSize=ok) = FALSE, error 0x103\n", count > (dir "/calls")
    print "SetupDiDestroyDeviceInfoList(set) = TRUE" > (dir "/calls")
}'

#!/usr/bin/env bash
# The main job: the plug-in, loaded by the substitute player under Wine, reports
# a short playlist to the local reference service.
echo "demo: not there yet. The plug-in's engine, log and cache exist, but the player"
echo "integration, the HTTP transport and the reference service it needs are still to come."
exit 2

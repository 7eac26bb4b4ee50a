#!/usr/bin/env bash
# Renders the onboarding's background videos in resources/videos with ffmpeg's own pattern
# filters: nothing but the formulas below goes into them. VP9 in an MP4 file, which Qt
# Multimedia plays on Debian 12 through either of its back-ends (GStreamer's good plugins or
# FFmpeg). The MP4 files are committed; run this again only to change them (needs ffmpeg).
set -euo pipefail
cd "$(dirname "$0")/.."
out=resources/videos
mkdir -p "$out"

# render <file> <seconds> <red> <green> <blue>: each channel a formula of the pixel (X, Y), the
# frame size (W, H) and the time T in seconds; every motion repeats over the clip's length, so
# the loop has no seam.
render() {
  ffmpeg -hide_banner -loglevel error -y \
    -f lavfi -i "color=c=black:s=480x300:r=24:d=$2,format=gbrp,geq=r='$3':g='$4':b='$5'" \
    -c:v libvpx-vp9 -b:v 250k -deadline good -cpu-used 4 -g 48 -pix_fmt yuv420p -an \
    -movflags +faststart "$out/$1"
}

# Welcome: a glowing screen that slowly comes closer and draws back, with faint scan lines.
# 0: zoom; 1, 2: centred coordinates; 3: squared distance outside the screen; 4: light.
screen="st(0,1.12+0.12*sin(2*PI*T/4));st(1,(X-W/2)/(H/2)/ld(0));st(2,(Y-H/2)/(H/2)/ld(0));\
st(3,pow(max(abs(ld(1))-0.8,0),2)+pow(max(abs(ld(2))-0.5,0),2));\
st(4,if(lt(abs(ld(1)),0.8)*lt(abs(ld(2)),0.5),0.9+0.1*sin(Y*PI/2),exp(-ld(3)*40)))"
render tv_zoom.mp4 4 \
  "$screen;ld(4)*(150+70*(1-ld(2)))" \
  "$screen;ld(4)*(110+50*(1+ld(1)/2))" \
  "$screen;18+ld(4)*(70+40*ld(2))"

# Permissions and last steps: two soft lights drifting on slow circles over a deep blue.
# 0, 1: the lights' squared distances from the pixel (in screen heights).
lights="st(0,pow((X-W*(0.35+0.15*cos(2*PI*T/6)))/H,2)+pow((Y-H*(0.45+0.2*sin(2*PI*T/6)))/H,2));\
st(1,pow((X-W*(0.65-0.15*cos(2*PI*T/6)))/H,2)+pow((Y-H*(0.55-0.2*sin(2*PI*T/6)))/H,2))"
render steps_bg.mp4 6 \
  "$lights;20+170*exp(-ld(0)*7)+40*exp(-ld(1)*7)" \
  "$lights;24+90*exp(-ld(0)*7)+120*exp(-ld(1)*7)" \
  "$lights;48+50*exp(-ld(0)*7)+140*exp(-ld(1)*7)"

ls -l "$out"

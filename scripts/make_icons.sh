#!/usr/bin/env bash
# Makes the GIF images of the web pages (res/Files/*.gif) from the Tango icon theme.
#
# Source: Debian's tango-icon-theme (/usr/share/icons/Tango), the Tango Desktop Project's
# icon library, released into the public domain (see
# /usr/share/doc/tango-icon-theme/copyright). Every image below is one of its PNGs, or two
# of them laid over each other; nothing is drawn by hand.
#
# Needs: apt-get install -y tango-icon-theme imagemagick
# The GIFs are committed, so neither the build nor the tests run this script; run it again
# after changing the table below:  scripts/make_icons.sh [output directory]
#
# GIF keeps one bit of transparency. Pixels at least half opaque are kept, their soft edge
# blended onto a middle grey so that the outline reads on the light and the dark page
# alike; the rest become transparent.
set -euo pipefail

theme=${TANGO_DIR:-/usr/share/icons/Tango}
out=${1:-"$(dirname "$0")/../res/Files"}
convert=${CONVERT:-convert}
matte="#8d939c"

if [ ! -d "$theme/16x16" ]; then
  echo "make_icons: $theme not found; apt-get install -y tango-icon-theme" >&2
  exit 1
fi
command -v "$convert" >/dev/null || {
  echo "make_icons: ImageMagick's convert not found; apt-get install -y imagemagick" >&2
  exit 1
}
mkdir -p "$out"

# name  size  base icon  [overlay icon, drawn at 2/3 size in the lower right corner]
icons=(
  # Status icons of the message and contact lists (16x16).
  "ue 16 actions/mail-message-new"        # unread: envelope with a star
  "re 16 apps/internet-mail"              # read: plain envelope
  "rpe 16 actions/mail-reply-sender"      # replied to or forwarded
  "atm 16 status/mail-attachment"         # has an attachment
  "user 16 apps/system-users"             # a contact or an account
  "left 16 actions/go-previous"           # a quick-list contact: take it as a recipient
  # Contacts side panel: open it (shown while collapsed) and collapse it.
  "co 16 actions/list-add"
  "cc 16 actions/list-remove"
  # Tool bar buttons (24x24).
  "createmail 24 apps/accessories-text-editor"
  "sendrecv 24 actions/mail-send-receive"
  "reply 24 actions/mail-reply-sender"
  "forward 24 actions/mail-forward"
  "save 24 actions/document-save"
  "delete 24 places/user-trash"
  "undelete 24 actions/edit-undo"
  "print 24 actions/document-print"
  "find 24 actions/system-search"
  "contacts 24 mimetypes/x-office-address-book"
  "addrbook 24 mimetypes/x-office-address-book"
  "settings 24 categories/preferences-system"
  "logout 24 actions/system-log-out"
  "close 24 actions/process-stop"
  "adduser 24 apps/system-users actions/list-add"
  "deluser 24 apps/system-users actions/list-remove"
  "addcon 24 actions/contact-new actions/list-add"
  "delcon 24 actions/contact-new actions/list-remove"
)

for row in "${icons[@]}"; do
  read -r name size base overlay <<<"$row"
  src="$theme/${size}x${size}/$base.png"
  [ -f "$src" ] || { echo "make_icons: missing $src" >&2; exit 1; }
  layers=("$src")
  if [ -n "${overlay:-}" ]; then
    small=$((size * 2 / 3))
    layers=("$src" "(" "$theme/16x16/$overlay.png" -resize "${small}x${small}" ")"
            -gravity southeast -compose over -composite)
  fi
  "$convert" "${layers[@]}" -compose over \
    "(" -clone 0 -background "$matte" -alpha remove -alpha off ")" \
    "(" -clone 0 -alpha extract -threshold 50% ")" \
    -delete 0 -alpha off -compose copy-opacity -composite \
    -strip "GIF:$out/$name.gif"
  echo "make_icons: $name.gif (${size}x${size}) from $base${overlay:+ + $overlay}"
done

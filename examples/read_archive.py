#!/usr/bin/python3
"""Prints what the Python module reads from one archive.

    INIVEK=.../vekconfig.INI PYTHONPATH=<build>/python read_archive.py ARCHIVE

ARCHIVE is the archive file (tm.tlm or tm.bin) beside its tm.meta. Prints the
test id and model, every packet with its times and marker, the values of the
items each packet carries in raw, engineering and science mode, the
message-log lines and the meta markers; then each item's series over the whole
archive, read in one call as numpy arrays (the way to get an item's series).
"""
import sys

import cvekutil

# Items worth showing: the demo archive's rows (first instrument) and the
# second instrument's plugin decoders (1001-1017) and plugin equations
# (2001-2008); ids a packet does not carry give nothing.
ITEM_IDS = [9001, 9002, 9003] + list(range(1001, 1018)) + list(range(2001, 2009))


def main(path):
    tm = cvekutil.open_tmfile(path)
    print("test id %d, model %s, folder %s" % (tm.tid(), tm.model(), tm.directory_string()))
    print("%d packets, t0 %.6f (sclk %d), time synced: %s"
          % (tm.length(), tm.t0_in_unix_time(), tm.t0_in_sclk(), tm.is_time_synced()))
    for i in range(tm.length()):
        p = tm.get_pkt(i)
        line = "packet %3d type %3d length %4d unix %.4f relative %9.4f" % (
            p.index(), p.get_type(), p.length(), p.unix_timestamp(), p.relative_timestamp())
        if p.marker_id() or p.tarq_marker_index():
            line += " marker %d #%d %r" % (p.marker_id(), p.tarq_marker_index(), p.marker_text())
        print(line)
        if p.raw_message():
            print("    message %r" % p.raw_message())
        for hkid in ITEM_IDS:
            raw, eng, sci = p.all_raw_data(hkid), p.all_eng_data(hkid), p.all_sci_data(hkid)
            for r, e, s in list(zip(raw, eng, sci))[:4]:  # the first samples of an array
                print("    item %d at %.4f: raw %g, eng %g, sci %g" % (hkid, r.relative_timestamp, r.value,
                                                                      e.value, s.value))
    log = cvekutil.PyMsgLogCache()
    print("%d message-log lines" % log.size())
    for i in range(log.size()):
        line = log.get(i)
        print("    %.4f %.4f %r" % (line.unixTime(), line.relativeTime(), line.msg()))
    metas = tm.get_meta_markers()
    print("%d meta markers" % len(metas))
    for m in metas:
        print("    %d #%d %.4f..%.4f %r" % (m.metaMarkerId, m.index, m.startRelativeTimeInSecs,
                                          m.endRelativeTimeInSecs, m.msg))
    print_series(tm)


def print_series(tm):
    """Each item's engineering values over every packet, as four numpy arrays."""
    for hkid in ITEM_IDS:
        try:
            s = tm.item_arrays(hkid, 1)
        except TypeError as e:  # a text item: its values are not numbers
            print("item %d: %s" % (hkid, e))
            continue
        if len(s.value) == 0:
            continue
        print("item %d: %d samples from %d packets, engineering values %g to %g"
              % (hkid, len(s.value), len(set(s.packet_index.tolist())), s.value.min(), s.value.max()))
        for k in range(min(3, len(s.value))):
            print("    packet %d at %.4f (unix %.4f): %g" % (s.packet_index[k], s.relative_timestamp[k],
                                                          s.unix_timestamp[k], s.value[k]))


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    main(sys.argv[1])

#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

monitor: telegrams as the controller sends them, of every kind, and the
faults the receiver must survive. print: formats with their argument header.
trace: a kind byte followed by telegram bytes or an error text.
Run it again after changing it; the files are small and checked in.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def telegram(start, cmd, data, good=True):
    body = bytes([ord(start), ord(cmd), len(data) & 0xFF]) + bytes(data)
    s = sum(body) & 0xFFFF
    if not good:
        s ^= 0x0101
    return body + bytes([s >> 8, s & 0xFF])


def name(text, good=True):
    # Bytes 3..7 are not used by the monitor; the name runs from byte 8.
    return telegram('M', 'A', b'\x00\x01\x02\x03\x04' + text.encode('latin-1'), good)


def values(*vals, good=True):
    return telegram('M', '1', b''.join(struct.pack('>h', v) for v in vals), good)


def bcd(v):
    return (v // 10) * 16 + v % 10


def clock(sec=7, minute=5, hour=9, day=14, month=3, wday=4, year=13, good=True):
    return telegram('M', '2', bytes(bcd(x) for x in (sec, minute, hour, day, month, wday, year)), good)


def short_frame(cmd='a'):
    return telegram('R', cmd, b'\x00')  # 6 bytes


MONITOR = {
    'name_A': name('Temperatur Vorlauf'),
    'name_A_empty_len0': telegram('M', 'A', b''),
    'name_A_len4': telegram('M', 'A', b'\x01\x02\x03\x04'),
    'name_A_control_bytes': name('\x1b[2J\x07bell\x7f'),
    'name_A_longest': name('N' * (0x7F - 5)),
    'values_1': values(100, -3, 0, 32767, -32768),
    'values_1_odd_length': telegram('M', '1', b'\x00\x10\x00'),
    'values_1_empty': telegram('M', '1', b''),
    'clock_2': clock(),
    'clock_2_not_bcd': telegram('M', '2', b'\xff\xaa\x99\x80\x3f\x00\xfe'),
    'clock_2_short': telegram('M', '2', b'\x01\x02\x03'),
    'info_I': telegram('M', 'I', b'Version 2.40 ok'),
    'unknown_command': telegram('M', 'Z', b'\x01\x02'),
    'command_zero': telegram('M', '\x00', b''),
    'bad_checksum_A': name('Druck', good=False),
    'bad_checksum_1': values(1, 2, good=False),
    'bad_checksum_2': clock(good=False),
    'short_frame_R': short_frame() + short_frame('b'),
    'short_frame_R_long_length': telegram('R', 'x', b'\x00' * 20),
    'oversize_length_80': b'MA\x80',
    'oversize_length_FF': b'MA\xff' + name('after'),
    'length_FB': b'M1\xfb\x00\x00',
    'bad_start_XYZ': b'XYZ' + name('Druck'),
    'garbage': bytes((i * 37 + 11) & 0xFF for i in range(64)),
    'half_telegram': name('Halb')[:7],
    'session': (short_frame() + name('Vorlauf') + name('Ruecklauf') + name('Aussen')
                + clock() + values(10, -20, 30) + clock(sec=8) + values(11, -21, 31)
                + telegram('M', 'I', b'ok') + short_frame('b')),
    'many_names': b''.join(name('n%03d' % i) for i in range(101)) + clock() + values(*range(101)),
}


def print_input(fmt, size=2048, args=(0,) * 8):
    head = struct.pack('<H', size - 1) + struct.pack('<8i', *(list(args) + [0] * 8)[:8])
    return head + fmt.encode('latin-1')


PRINT = {
    'numbers': print_input('%d|%5d|%05d', args=(-42, -42, -42)),
    'text_left': print_input('%-4s|', args=(2,)),
    'hex_unsigned': print_input('%x %X %u', args=(255, 255, -294967296)),
    'limits': print_input('%d %d', args=(2147483647, -2147483648)),
    'chars': print_input('%c%c%3c|%-3c|', args=(ord('o'), ord('k'), 0, ord('z'))),
    'percent': print_input('100%% %5% %'),
    'flags_both': print_input('%-05d|%-05d', args=(42, -42)),
    'zero_minus': print_input('%0-5d %ld %i', args=(7,)),
    'null_text': print_input('%8s|%2s|%05s', args=(0, 3, 2)),
    'long_text': print_input('%s%s', args=(4, 4)),
    'wide': print_input('%999999999d|%-4096s', args=(1, 2)),
    'nine_args': print_input('%d%d%d%d%d%d%d%d%d', args=range(8)),
    'trace_line': print_input('%s\n', args=(6,)),
    'small_buffer': print_input('%05d%s', size=3, args=(12345, 3)),
    'one_byte_buffer': print_input('abc', size=1),
    'ends_in_flags': print_input('%-00012'),
}

TRACE = {
    'sent_request_Ra': b'\x00' + telegram('R', 'a', b'\x00\xff\xf4'),
    'sent_param_write': b'\x00' + bytes.fromhex('5249 04 009b 0004 013e'.replace(' ', '')),
    'sent_nack': b'\x00' + bytes.fromhex('4d4101 00008f'.replace(' ', '')),
    'received_name': b'\x01' + name('Temperatur Vorlauf'),
    'received_binary': b'\x01' + bytes(range(0x80, 0xA0)),
    'error_text': b'\x02' + b'Unvalid telegram startvalue',
    'info': b'\x03' + b'info 1 2 3',
    'unknown_kind_4': b'\x04' + b'MA\x01',
    'unknown_kind_negative': b'\xff' + b'MA\x01',
    'long_received': b'\x01' + bytes((i * 7) & 0xFF for i in range(700)),
    'long_letters': b'\x02' + b'A' * 2100,
    'empty_sent': b'\x00',
}


def write(target, seeds):
    d = os.path.join(HERE, 'corpus', target)
    os.makedirs(d, exist_ok=True)
    for n, data in seeds.items():
        with open(os.path.join(d, n), 'wb') as f:
            f.write(data)


write('monitor', MONITOR)
write('print', PRINT)
write('trace', TRACE)

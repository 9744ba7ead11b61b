#!/usr/bin/env python3
"""Reads the resources of the built VKKSVInitTool.exe straight from its PE
resource section and compares every template, string, icon, manifest and
version value with what the tool must ship.

    check_resources.py <VKKSVInitTool.exe>

The expected values are written out here on purpose, not read from the
resource script, so that a slip in the script fails the suite."""

import os
import shutil
import struct
import subprocess
import sys
import unittest
import xml.etree.ElementTree as ET

import pefile

EXE = None

RT_ICON, RT_DIALOG, RT_STRING, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 5, 6, 14, 16, 24
EN, CHS, CHT, NEUTRAL = 1033, 2052, 1028, 0
LANGUAGES = (EN, CHS, CHT)

STATIC, BUTTON = 0x82, 0x80
WS_CHILD, WS_VISIBLE, WS_GROUP, WS_TABSTOP = 0x40000000, 0x10000000, 0x00020000, 0x00010000
BS_DEFPUSHBUTTON, SS_ICON, SS_GRAYFRAME, SS_NOPREFIX = 0x1, 0x3, 0x8, 0x80
DS_SETFONT = 0x40

ICON_STYLE = WS_CHILD | WS_VISIBLE | SS_ICON                      # 0x50000003
TEXT_STYLE = WS_CHILD | WS_VISIBLE | WS_GROUP                     # 0x50020000
FRAME_STYLE = WS_CHILD | WS_VISIBLE | SS_GRAYFRAME                # 0x50000008
DEFBUTTON_STYLE = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON  # 0x50010001
BUTTON_STYLE = WS_CHILD | WS_VISIBLE | WS_TABSTOP                 # 0x50010000

WARNING = {
    EN: "After initialization, all data inside USBKey, including the certificate and PIN, "
        "will be cleared. Do you want to continue?",
    CHS: "初始化后，蓝牙网盾内的所有数据，包括证书以及密码都将被清除，是否继续？",
    CHT: "初始化後，藍牙網盾內的所有數據，包括證書以及密碼都將被清除，是否繼續？",
}

STRINGS = {
    EN: {101: "About VKKSVInitTool(&A)...",
         104: "KSV BLE USBKey initialization successful.",
         105: "KSV BLE USBKey initialization failed!",
         106: WARNING[EN]},
    CHS: {101: "关于 VKKSVInitTool(&A)...",
          104: "KSV蓝牙网盾初始化成功。",
          105: "KSV蓝牙网盾初始化失败！",
          106: WARNING[CHS]},
    CHT: {101: "關於 VKKSVInitTool(&A)...",
          104: "KSV藍牙網盾初始化成功。",
          105: "KSV藍牙網盾初始化失敗！",
          106: WARNING[CHT]},
}

# Main dialog per language: size, font face, caption, and the controls in tab
# order as (id, class, text, style, x, y, cx, cy). Icon text 128 is the icon
# group's ordinal.
MAIN = {
    EN: ((233, 91), "MS Shell Dlg", "KSV BLE USBKey Initialization Tool(Varkeld)", [
        (-1, STATIC, 128, ICON_STYLE, 8, 19, 20, 20),
        (1002, STATIC, WARNING[EN], TEXT_STYLE, 30, 21, 199, 23),
        (-1, STATIC, "", FRAME_STYLE, 12, 55, 210, 1),
        (1004, BUTTON, "Yes", DEFBUTTON_STYLE, 58, 66, 50, 14),
        (2, BUTTON, "No", BUTTON_STYLE, 126, 66, 50, 14),
        (1, BUTTON, "OK", BUTTON_STYLE, 92, 66, 50, 14)]),
    CHS: ((215, 90), "宋体", "KSV蓝牙网盾初始化工具（Varkeld）", [
        (-1, STATIC, 128, ICON_STYLE, 10, 19, 20, 20),
        (1002, STATIC, WARNING[CHS], TEXT_STYLE, 41, 21, 155, 30),
        (-1, STATIC, "", FRAME_STYLE, 12, 53, 189, 1),
        (1004, BUTTON, "是", DEFBUTTON_STYLE, 48, 64, 50, 14),
        (2, BUTTON, "否", BUTTON_STYLE, 116, 64, 50, 14),
        (1, BUTTON, "确定", BUTTON_STYLE, 82, 64, 50, 14)]),
    CHT: ((214, 94), "宋体", "KSV藍牙網盾初始化工具（Varkeld）", [
        (-1, STATIC, 128, ICON_STYLE, 10, 19, 20, 20),
        (1002, STATIC, WARNING[CHT], TEXT_STYLE, 41, 21, 158, 28),
        (-1, STATIC, "", FRAME_STYLE, 12, 57, 189, 1),
        (1004, BUTTON, "是", DEFBUTTON_STYLE, 48, 68, 50, 14),
        (2, BUTTON, "否", BUTTON_STYLE, 116, 68, 50, 14),
        (1, BUTTON, "確定", BUTTON_STYLE, 82, 68, 50, 14)]),
}

ABOUT_CONTROLS = [
    (-1, STATIC, 128, ICON_STYLE, 11, 17, 20, 20),
    (-1, STATIC, "VKKSVInitTool 1.0 版", TEXT_STYLE | SS_NOPREFIX, 40, 10, 119, 8),
    (-1, STATIC, "KSV蓝牙网盾初始化工具", TEXT_STYLE, 40, 25, 119, 8),
    (1, BUTTON, "确定", DEFBUTTON_STYLE | WS_GROUP, 178, 7, 50, 14),
]

SUPPORTED_OS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  # Vista
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # 7
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # 8
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # 8.1
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # 10 and 11
}


# ---------------------------------------------------------------- PE reader

def read_resources(path):
    """{(type, name, language): bytes} of a PE file's resources."""
    pe = pefile.PE(path, fast_load=True)
    assert pe.OPTIONAL_HEADER.Magic == 0x10B, "not a 32-bit image"
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    assert hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"), "no resource section"

    def key(entry):
        return entry.id if entry.name is None else entry.name.decode("utf-16-le")

    found = {}
    for rtype in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for rname in rtype.directory.entries:
            for lang in rname.directory.entries:
                found[(key(rtype), key(rname), lang.id)] = pe.get_data(lang.data.struct.OffsetToData,
                                                                       lang.data.struct.Size)
    return found


# ------------------------------------------------------ resource decoders

class Reader:
    def __init__(self, data):
        self.data, self.pos = data, 0

    def take(self, fmt):
        values = struct.unpack_from("<" + fmt, self.data, self.pos)
        self.pos += struct.calcsize("<" + fmt)
        return values if len(values) > 1 else values[0]

    def align(self, n=4):
        self.pos = (self.pos + n - 1) // n * n

    def sz(self):
        end = self.pos
        while self.data[end:end + 2] != b"\0\0":
            end += 2
        text = self.data[self.pos:end].decode("utf-16-le")
        self.pos = end + 2
        return text

    def sz_or_ordinal(self):
        if self.data[self.pos:self.pos + 2] == b"\xff\xff":
            self.pos += 2
            return self.take("H")
        return self.sz()


def parse_dialog(data):
    r = Reader(data)
    d = {}
    extended = data[:4] == b"\x01\x00\xff\xff"
    if extended:
        r.take("HH")
        d["help"], d["exstyle"], d["style"] = r.take("III")
    else:
        d["style"], d["exstyle"] = r.take("II")
        d["help"] = 0
    count, x, y, cx, cy = r.take("Hhhhh")
    d["extended"], d["rect"] = extended, (x, y, cx, cy)
    d["menu"], d["class"], d["caption"] = r.sz_or_ordinal(), r.sz_or_ordinal(), r.sz()
    d["pointsize"], d["weight"], d["italic"], d["charset"], d["face"] = 0, None, None, None, ""
    if d["style"] & DS_SETFONT:
        d["pointsize"] = r.take("H")
        if extended:
            d["weight"], d["italic"], d["charset"] = r.take("HBB")
        d["face"] = r.sz()
    d["controls"] = []
    for _ in range(count):
        r.align()
        if extended:
            help_id, exstyle, style = r.take("III")
            x, y, cx, cy, cid = r.take("hhhhi")
        else:
            style, exstyle = r.take("II")
            x, y, cx, cy, cid = r.take("hhhhh")
            help_id = 0
        cls, text = r.sz_or_ordinal(), r.sz_or_ordinal()
        extra = r.take("H")
        r.pos += extra
        d["controls"].append({"id": cid, "class": cls, "text": text, "style": style,
                              "exstyle": exstyle, "help": help_id, "rect": (x, y, cx, cy),
                              "extra": extra})
    return d


def parse_string_block(block, data):
    r = Reader(data)
    strings = {}
    for i in range(16):
        length = r.take("H")
        if length:
            strings[(block - 1) * 16 + i] = data[r.pos:r.pos + 2 * length].decode("utf-16-le")
            r.pos += 2 * length
    return strings


def parse_version_node(data, pos):
    """(key, value, children, end) of one VS_VERSIONINFO-style node."""
    length, value_length, vtype = struct.unpack_from("<HHH", data, pos)
    r = Reader(data)
    r.pos = pos + 6
    key = r.sz()
    r.align()
    if vtype == 1:
        value = data[r.pos:r.pos + 2 * value_length].decode("utf-16-le")
        r.pos += 2 * value_length
    else:
        value = data[r.pos:r.pos + value_length]
        r.pos += value_length
    children = []
    end = pos + length
    r.align()
    while r.pos < end:
        child = parse_version_node(data, r.pos)
        children.append(child)
        r.pos = child[3]
        r.align()
    return key, value, children, end


# ------------------------------------------------------------------ tests

class ResourceTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.res = read_resources(EXE)

    def dialog(self, name, lang):
        self.assertIn((RT_DIALOG, name, lang), self.res)
        return parse_dialog(self.res[(RT_DIALOG, name, lang)])

    def strings(self, lang):
        return parse_string_block(7, self.res[(RT_STRING, 7, lang)])

    def test_the_exe_holds_exactly_these_resources(self):
        expected = {(RT_DIALOG, 102, lang) for lang in LANGUAGES}
        expected |= {(RT_STRING, 7, lang) for lang in LANGUAGES}
        expected |= {(RT_ICON, n, CHS) for n in range(1, 10)}
        expected |= {(RT_DIALOG, 100, CHS), (RT_GROUP_ICON, 128, CHS),
                     (RT_VERSION, 1, CHS), (RT_MANIFEST, 1, NEUTRAL)}
        self.assertEqual(set(self.res), expected)

    @unittest.skipUnless(shutil.which("wrestool"), "wrestool not installed")
    def test_wrestool_lists_the_same_resources(self):
        listing = subprocess.run(["wrestool", "-l", EXE], check=True, capture_output=True,
                                 text=True).stdout
        listed = set()
        for line in listing.splitlines():
            fields = dict(f.lstrip("-").split("=", 1) for f in line.split()[:3])
            listed.add((int(fields["type"]), int(fields["name"]), int(fields["language"])))
        self.assertEqual(listed, set(self.res))

    def check_controls(self, actual, expected):
        self.assertEqual(len(actual), len(expected))
        for control, (cid, cls, text, style, x, y, cx, cy) in zip(actual, expected):
            with self.subTest(control=cid, text=text):
                self.assertEqual(control["id"], cid)
                self.assertEqual(control["class"], cls)
                self.assertEqual(control["text"], text)
                self.assertEqual(hex(control["style"]), hex(style))
                self.assertEqual(control["exstyle"], 0)
                self.assertEqual(control["help"], 0)
                self.assertEqual(control["rect"], (x, y, cx, cy))
                self.assertEqual(control["extra"], 0)

    def test_main_dialog_in_each_language(self):
        for lang, ((cx, cy), face, caption, controls) in MAIN.items():
            with self.subTest(language=lang):
                d = self.dialog(102, lang)
                self.assertTrue(d["extended"])
                self.assertEqual(hex(d["style"]), "0x90c800c0")
                self.assertEqual(hex(d["exstyle"]), "0x40000")
                self.assertEqual(d["help"], 0)
                self.assertEqual(d["rect"], (0, 0, cx, cy))
                self.assertEqual((d["menu"], d["class"]), ("", ""))
                self.assertEqual(d["caption"], caption)
                self.assertEqual((d["pointsize"], d["weight"], d["italic"], d["charset"]),
                                 (10, 400, 0, 1))
                self.assertEqual(d["face"], face)
                self.check_controls(d["controls"], controls)

    def test_yes_is_the_first_tab_stop_and_the_only_default_button(self):
        for lang in LANGUAGES:
            with self.subTest(language=lang):
                controls = self.dialog(102, lang)["controls"]
                stops = [c["id"] for c in controls if c["style"] & WS_TABSTOP]
                defaults = [c["id"] for c in controls
                            if c["class"] == BUTTON and c["style"] & 0xF == BS_DEFPUSHBUTTON]
                self.assertEqual(stops, [1004, 2, 1])
                self.assertEqual(defaults, [1004])

    def test_about_box_is_a_classic_chinese_template(self):
        d = self.dialog(100, CHS)
        self.assertFalse(d["extended"])
        self.assertEqual(hex(d["style"]), "0x80c800c0")
        self.assertEqual(d["exstyle"], 0)
        self.assertEqual(d["rect"], (0, 0, 235, 55))
        self.assertEqual(d["caption"], "关于 VKKSVInitTool")
        self.assertEqual((d["pointsize"], d["face"]), (9, "宋体"))
        self.check_controls(d["controls"], ABOUT_CONTROLS)

    def test_string_table_in_each_language(self):
        for lang, strings in STRINGS.items():
            with self.subTest(language=lang):
                self.assertEqual(self.strings(lang), strings)

    def test_about_item_has_the_accelerator_a(self):
        for lang in LANGUAGES:
            with self.subTest(language=lang):
                text = self.strings(lang)[101]
                self.assertEqual(text.count("&"), 1)
                self.assertIn("(&A)", text)

    def test_icon_group_holds_nine_images(self):
        group = Reader(self.res[(RT_GROUP_ICON, 128, CHS)])
        self.assertEqual(group.take("HHH"), (0, 1, 9))
        seen = set()
        for _ in range(9):
            width, height, colors, _, planes, bits, size, icon_id = group.take("BBBBHHIH")
            with self.subTest(image=icon_id):
                self.assertEqual(planes, 1)
                self.assertEqual(colors, 0)
                image = self.res[(RT_ICON, icon_id, CHS)]
                self.assertEqual(len(image), size)
                # Each image is a DIB whose height counts the colour and mask rows.
                header, dib_width, dib_height, dib_planes, dib_bits = struct.unpack_from(
                    "<IiiHH", image)
                self.assertEqual((header, dib_width, dib_height, dib_planes, dib_bits),
                                 (40, width, 2 * height, 1, bits))
                seen.add((width, height, bits))
        self.assertEqual(seen, {(s, s, b) for s in (48, 32, 16) for b in (8, 24, 32)})

    def test_manifest(self):
        ns = {"v1": "urn:schemas-microsoft-com:asm.v1", "v3": "urn:schemas-microsoft-com:asm.v3",
              "c": "urn:schemas-microsoft-com:compatibility.v1",
              "ws": "http://schemas.microsoft.com/SMI/2005/WindowsSettings"}
        root = ET.fromstring(self.res[(RT_MANIFEST, 1, NEUTRAL)])
        self.assertEqual(root.tag, "{%s}assembly" % ns["v1"])
        level = root.find("v3:trustInfo/v3:security/v3:requestedPrivileges/"
                          "v3:requestedExecutionLevel", ns)
        self.assertEqual((level.get("level"), level.get("uiAccess")), ("asInvoker", "false"))
        oses = {e.get("Id") for e in root.findall("c:compatibility/c:application/c:supportedOS", ns)}
        self.assertEqual(oses, SUPPORTED_OS)
        dependency = root.find("v1:dependency/v1:dependentAssembly/v1:assemblyIdentity", ns)
        self.assertEqual({k: dependency.get(k) for k in
                          ("type", "name", "version", "processorArchitecture",
                           "publicKeyToken", "language")},
                         {"type": "win32", "name": "Microsoft.Windows.Common-Controls",
                          "version": "6.0.0.0", "processorArchitecture": "x86",
                          "publicKeyToken": "6595b64144ccf1df", "language": "*"})
        dpi = root.find("v3:application/v3:windowsSettings/ws:dpiAware", ns)
        self.assertEqual(dpi.text.strip(), "true")

    def test_version_resource(self):
        key, fixed, children, _ = parse_version_node(self.res[(RT_VERSION, 1, CHS)], 0)
        self.assertEqual(key, "VS_VERSION_INFO")
        (signature, _, file_ms, file_ls, product_ms, product_ls, flags_mask, flags, os_, ftype,
         subtype, _, _) = struct.unpack("<13I", fixed)
        self.assertEqual(signature, 0xFEEF04BD)
        self.assertEqual((file_ms, file_ls, product_ms, product_ls),
                         (0x00010000, 0x00000001, 0x00010000, 0x00000001))
        self.assertEqual((flags_mask, flags, os_, ftype, subtype), (0x3F, 0, 4, 1, 0))
        blocks = {child[0]: child for child in children}
        self.assertEqual(set(blocks), {"StringFileInfo", "VarFileInfo"})
        tables = blocks["StringFileInfo"][2]
        self.assertEqual([t[0] for t in tables], ["080404B0"])
        values = [(k, v.rstrip("\0")) for k, v, _, _ in tables[0][2]]
        self.assertEqual(values, [
            ("CompanyName", ""),
            ("FileDescription", "VKKSVInitTool Microsoft 基础类应用程序"),
            ("FileVersion", "1, 0, 0, 1"),
            ("InternalName", "VKKSVInitTool"),
            ("LegalTrademarks", ""),
            ("OriginalFilename", "VKKSVInitTool.EXE"),
            ("ProductName", "VKKSVInitTool 应用程序"),
            ("ProductVersion", "1, 0, 0, 1"),
        ])
        translation = blocks["VarFileInfo"][2]
        self.assertEqual(translation[0][0], "Translation")
        self.assertEqual(struct.unpack("<HH", translation[0][1]), (0x0804, 1200))


if __name__ == "__main__":
    if len(sys.argv) < 2 or not os.path.isfile(sys.argv[1]):
        sys.exit("usage: check_resources.py <VKKSVInitTool.exe>")
    EXE = sys.argv.pop(1)
    unittest.main(verbosity=2)

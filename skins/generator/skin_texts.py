"""The labels drawn inside the skins' pictures, per skin.

Simplified Chinese follows mainland usage, Traditional Chinese Taiwan usage (for example
"等化器" for equalizer)."""

SKINS = ("en", "zh-hans", "zh-hant")

_TEXTS = {
    #                    English               Simplified        Traditional
    "brand": ("AMPFX SUITE", "AMPFX SUITE", "AMPFX SUITE"),
    "subtitle": ("USB AUDIO CONTROL", "USB 音频控制台", "USB 音訊控制台"),
    "tab_eq": ("EQ", "均衡", "等化"),
    "tab_efft": ("EFFT", "音效", "音效"),
    "tab_mic": ("MIC", "话筒", "麥克風"),
    "tab_3d": ("3D", "3D", "3D"),
    "exit": ("EXIT", "退出", "離開"),
    "eq_title": ("10-BAND EQUALIZER", "十段均衡器", "十段等化器"),
    "sf_title": ("SOUND FIELD", "音场效果", "音場效果"),
    "mic_title": ("MICROPHONE", "麦克风", "麥克風"),
    "spk_title": ("3D SPEAKER TEST", "3D 扬声器测试", "3D 喇叭測試"),
    "load": ("Load", "载入", "載入"),
    "enable": ("Enable", "启用", "啟用"),
    "reset": ("Reset", "重置", "重設"),
    "save": ("Save", "保存", "儲存"),
    "delete": ("Delete", "删除", "刪除"),
    "presets": ("PRESETS", "预设", "預設"),
    "tbass": ("TBass", "重低音", "重低音"),
    "classic": ("Classic", "古典", "古典"),
    "pop": ("Pop", "流行", "流行"),
    "jazz": ("Jazz", "爵士", "爵士"),
    "rock": ("Rock", "摇滚", "搖滾"),
    "response": ("RESPONSE", "频响曲线", "頻率響應"),
    "hall": ("Hall", "大厅", "大廳"),
    "corridor": ("Corridor", "走廊", "走廊"),
    "none": ("None", "无", "無"),
    "livrm": ("LivRm", "客厅", "客廳"),
    "bath": ("Bath", "浴室", "浴室"),
    "hall_long": ("CONCERT HALL", "音乐厅", "音樂廳"),
    "corridor_long": ("CORRIDOR", "走廊", "走廊"),
    "none_long": ("DIRECT SOUND", "原声直通", "原音直通"),
    "livrm_long": ("LIVING ROOM", "客厅", "客廳"),
    "bath_long": ("BATHROOM", "浴室", "浴室"),
    "decay": ("DECAY", "混响衰减", "殘響衰減"),
    "boost": ("Boost", "增强", "增強"),
    "mute": ("Mute", "静音", "靜音"),
    "gain": ("GAIN", "增益", "增益"),
    "input_level": ("INPUT LEVEL", "输入电平", "輸入音量"),
    "virtual71": ("Virtual 7.1", "虚拟 7.1", "虛擬 7.1"),
    "source": ("SOURCE", "音源", "音源"),
    "track": ("TRACK", "轨迹", "軌跡"),
    "music": ("MUSIC", "音乐", "音樂"),
    "honey_bee": ("HONEY BEE", "蜜蜂", "蜜蜂"),
    "horizontal": ("HORIZONTAL", "水平环绕", "水平環繞"),
    "vertical": ("VERTICAL", "垂直环绕", "垂直環繞"),
    "insect": ("INSECT MOVEMENT", "昆虫飞行", "昆蟲飛行"),
    "manual_h": ("MANUAL HORIZONTAL", "手动水平", "手動水平"),
    "manual_v": ("MANUAL VERTICAL", "手动垂直", "手動垂直"),
    "play": ("Play", "播放", "播放"),
    "pause": ("Pause", "暂停", "暫停"),
    "test_sound": ("TEST SOUND", "测试音", "測試音"),
    "drag_hint": ("DRAG A SPEAKER TO PLACE IT", "拖动扬声器改变位置", "拖曳喇叭改變位置"),
    "toolbar_hint": ("TOOLBAR: VOLUME, TURN, MOVE", "工具栏：音量、旋转、移动", "工具列：音量、旋轉、移動"),
    "vol": ("VOL", "音量", "音量"),
    "front": ("FRONT", "前方", "前方"),
}


def texts(skin):
    index = SKINS.index(skin)
    return {key: values[index] for key, values in _TEXTS.items()}

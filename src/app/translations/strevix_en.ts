<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US" sourcelanguage="zh_CN">
<context>
    <name>Strevix</name>
    <message>
        <source>关于 Strevix</source>
        <translation>About Strevix</translation>
    </message>
    <message>
        <source>Strevix，%1 版</source>
        <translation>Strevix, version %1</translation>
    </message>
    <message>
        <source>支持HTTP,RTMP,RTSP,HLS、HTTP-FLV协议。</source>
        <translation>Supports HTTP, RTMP, RTSP, HLS and HTTP-FLV.</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>密码修改</source>
        <translation>Change password</translation>
    </message>
    <message>
        <source>用户类型：</source>
        <translation>User type:</translation>
    </message>
    <message>
        <source>管理人员</source>
        <translation>Administrator</translation>
    </message>
    <message>
        <source>使用人员</source>
        <translation>User</translation>
    </message>
    <message>
        <source>原密码：</source>
        <translation>Old password:</translation>
    </message>
    <message>
        <source>新密码：</source>
        <translation>New password:</translation>
    </message>
    <message>
        <source>确认修改</source>
        <translation>Change</translation>
    </message>
    <message>
        <source>取  消</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>请选择用户类型</source>
        <translation>Please choose a user type.</translation>
    </message>
    <message>
        <source>两次输入的新密码不一致&#xd;
请重新输入！&#xd;
</source>
        <translation>The two new passwords differ.&#xd;
Please enter them again.&#xd;
</translation>
    </message>
    <message>
        <source>原密码不正确&#xd;
请重新输入！&#xd;
</source>
        <translation>The old password is wrong.&#xd;
Please enter it again.&#xd;
</translation>
    </message>
    <message>
        <source>关于 Strevix(&amp;A)...</source>
        <translation>&amp;About Strevix...</translation>
    </message>
    <message>
        <source>请选择一条数据！</source>
        <translation>Please select a row.</translation>
    </message>
    <message>
        <source>提示</source>
        <translation>Note</translation>
    </message>
    <message>
        <source>斯瑞维</source>
        <translation>Strevix </translation>
    </message>
    <message>
        <source>采集设置：(1)点击“开始”进行嗅探</source>
        <translation>Capture: (1) click Start to sniff</translation>
    </message>
    <message>
        <source>嗅探信息</source>
        <translation>Sightings</translation>
    </message>
    <message>
        <source>网络视频流信息：(2)双击视频流播放 (3)在播放器菜单中点击“录制”保存视频</source>
        <translation>Video streams: (2) double-click to play (3) record from the player's menu</translation>
    </message>
    <message>
        <source>网络接口信息：</source>
        <translation>Interfaces:</translation>
    </message>
    <message>
        <source>pcap文件</source>
        <translation>Capture file</translation>
    </message>
    <message>
        <source>start.html</source>
        <translation>start_en.html</translation>
    </message>
    <message>
        <source>开始</source>
        <translation>Start</translation>
    </message>
    <message>
        <source>停止</source>
        <translation>Stop</translation>
    </message>
    <message>
        <source>复制地址</source>
        <translation>Copy address</translation>
    </message>
    <message>
        <source>播录</source>
        <translation>Play</translation>
    </message>
    <message>
        <source>只录</source>
        <translation>Record</translation>
    </message>
    <message>
        <source>录制MP4</source>
        <translation>Record MP4</translation>
    </message>
    <message>
        <source>打开文件夹</source>
        <translation>Open folder</translation>
    </message>
    <message>
        <source>优先使用：
 [ 播录 ] 
其次使用：
 [ 只录 ]
使用[只录]时,请不要关闭网页！</source>
        <translation>Prefer:
 [ Play ] 
then:
 [ Record ]
Keep the page open.</translation>
    </message>
    <message>
        <source>删除</source>
        <translation>Delete</translation>
    </message>
    <message>
        <source>清空</source>
        <translation>Clear</translation>
    </message>
    <message>
        <source>(4)浏览视频</source>
        <translation>(4) Videos</translation>
    </message>
    <message>
        <source>文件夹...</source>
        <translation>Folder...</translation>
    </message>
    <message>
        <source>录制</source>
        <translation>Recordings</translation>
    </message>
    <message>
        <source>状态信息：</source>
        <translation>Status:</translation>
    </message>
    <message>
        <source>更多...</source>
        <translation>More...</translation>
    </message>
    <message>
        <source>正在分析网络数据（共%1个接口），%2个TLS会话无法解密（缺少密钥日志）</source>
        <translation>Analysing network traffic (%1 interfaces), %2 TLS sessions could not be read (no key log)</translation>
    </message>
    <message>
        <source>PCap文件&lt;%1&gt;分析完毕，%2个TLS会话无法解密（缺少密钥日志）</source>
        <translation>Capture file &lt;%1&gt; done, %2 TLS sessions could not be read (no key log)</translation>
    </message>
    <message>
        <source>TLS密钥日志：%1</source>
        <translation>TLS key log: %1</translation>
    </message>
    <message>
        <source>TLS密钥日志尚不可读：%1</source>
        <translation>TLS key log not readable yet: %1</translation>
    </message>
    <message>
        <source>TLS密钥日志...</source>
        <translation>TLS key log...</translation>
    </message>
    <message>
        <source>TLS密钥日志 (SSLKEYLOGFILE)</source>
        <translation>TLS key log (SSLKEYLOGFILE)</translation>
    </message>
    <message>
        <source>密钥日志 (*.log *.txt *.keys);;所有文件 (*)</source>
        <translation>Key logs (*.log *.txt *.keys);;All files (*)</translation>
    </message>
    <message>
        <source>修改密码...</source>
        <translation>Change password...</translation>
    </message>
    <message>
        <source>退出</source>
        <translation>Exit</translation>
    </message>
    <message>
        <source>IP地址</source>
        <translation>IP address</translation>
    </message>
    <message>
        <source>设备描述</source>
        <translation>Description</translation>
    </message>
    <message>
        <source>设备名称</source>
        <translation>Device</translation>
    </message>
    <message>
        <source>序号</source>
        <translation>No.</translation>
    </message>
    <message>
        <source>协议</source>
        <translation>Protocol</translation>
    </message>
    <message>
        <source>地址</source>
        <translation>Address</translation>
    </message>
    <message>
        <source>视频流</source>
        <translation>Stream</translation>
    </message>
    <message>
        <source>首页</source>
        <translation>Start page</translation>
    </message>
    <message>
        <source>抓包文件 (*.pcap *.pcapng *.cap);;pcapng 文件 (*.pcapng);;halog 文件 (*.halog);;所有文件 (*)</source>
        <translation>Capture files (*.pcap *.pcapng *.cap);;pcapng files (*.pcapng);;halog files (*.halog);;All files (*)</translation>
    </message>
    <message>
        <source>托盘菜单</source>
        <translation>Tray menu</translation>
    </message>
    <message>
        <source>显示隐藏</source>
        <translation>Show/Hide</translation>
    </message>
    <message>
        <source>退出终端</source>
        <translation>Exit</translation>
    </message>
    <message>
        <source>关于我的</source>
        <translation>About</translation>
    </message>
    <message>
        <source>开始时间</source>
        <translation>Started</translation>
    </message>
    <message>
        <source>文件</source>
        <translation>File</translation>
    </message>
    <message>
        <source>大小</source>
        <translation>Size</translation>
    </message>
    <message>
        <source>时长</source>
        <translation>Duration</translation>
    </message>
    <message>
        <source>状态</source>
        <translation>State</translation>
    </message>
    <message>
        <source>等待视频流…</source>
        <translation>Waiting for the stream…</translation>
    </message>
    <message>
        <source>无数据</source>
        <translation>Nothing written</translation>
    </message>
    <message>
        <source>已结束</source>
        <translation>Ended</translation>
    </message>
    <message>
        <source>正在录制</source>
        <translation>Recording</translation>
    </message>
    <message>
        <source>程序准备就绪</source>
        <translation>Ready</translation>
    </message>
    <message>
        <source>停止采集</source>
        <translation>Capture stopped</translation>
    </message>
    <message>
        <source>正在分析网络数据（共%1个接口）...</source>
        <translation>Analysing network traffic (%1 interfaces)...</translation>
    </message>
    <message>
        <source>正在分析网络数据（共%1个接口），内核已丢弃%2个包</source>
        <translation>Analysing network traffic (%1 interfaces), %2 packets dropped by the kernel</translation>
    </message>
    <message>
        <source>正在分析PCap文件&lt;%1&gt;</source>
        <translation>Analysing capture file &lt;%1&gt;</translation>
    </message>
    <message>
        <source>PCap文件&lt;%1&gt;分析完毕</source>
        <translation>Capture file &lt;%1&gt; done</translation>
    </message>
    <message>
        <source>PCap文件&lt;%1&gt;已损坏，分析提前结束</source>
        <translation>Capture file &lt;%1&gt; is damaged; analysis ended early</translation>
    </message>
    <message>
        <source>第%1次下载，可点击[文件夹]观看。</source>
        <translation>Recording request %1; see it under Recordings or in the folder.</translation>
    </message>
    <message>
        <source>无法打开%1：%2</source>
        <translation>Cannot open %1: %2</translation>
    </message>
    <message>
        <source>没有抓包权限。请以 root 运行，或授予本程序抓包权限：</source>
        <translation>No capture rights. Run as root, or grant them to the program:</translation>
    </message>
    <message>
        <source>状态：</source>
        <translation>Status: </translation>
    </message>
    <message>
        <source>网络包数：</source>
        <translation>Sightings: </translation>
    </message>
    <message>
        <source>视频流数:</source>
        <translation>Streams: </translation>
    </message>
    <message>
        <source>异常：</source>
        <translation>Error: </translation>
    </message>
</context>
</TS>

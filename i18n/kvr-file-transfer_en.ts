<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
<context>
    <name>ClientSession</name>
    <message>
        <source>已和KVR控制器断开连接
</source>
        <translation>Disconnected from the KVR controller
</translation>
    </message>
    <message>
        <source>开始自动重连</source>
        <translation>Reconnecting automatically</translation>
    </message>
    <message>
        <source>已停止自动重连</source>
        <translation>Stopped reconnecting</translation>
    </message>
    <message>
        <source>已停止接收，未完成的文件已删除</source>
        <translation>Reception stopped; the unfinished file was deleted</translation>
    </message>
    <message>
        <source>%1 等 %2 个</source>
        <translation>%1 and others, %2 in all</translation>
    </message>
    <message>
        <source>接收失败的文件无法从本机重试, 请让控制器重新发送</source>
        <translation>A failed reception cannot be retried from this PC; have the controller send it again</translation>
    </message>
    <message>
        <source>无法重试, 传输记录未保存文件的位置</source>
        <translation>Cannot retry: the history does not keep where the file is</translation>
    </message>
    <message>
        <source>无法重试, 文件已不存在</source>
        <translation>Cannot retry: the file no longer exists</translation>
    </message>
    <message>
        <source>无法重试, 文件无法读取</source>
        <translation>Cannot retry: the file cannot be read</translation>
    </message>
    <message>
        <source>正在查找主机</source>
        <translation>Looking up the host</translation>
    </message>
    <message>
        <source>正在连接...</source>
        <translation>Connecting...</translation>
    </message>
    <message>
        <source>已建立连接</source>
        <translation>Connected</translation>
    </message>
    <message>
        <source>已和KVR控制器建立连接
</source>
        <translation>Connected to the KVR controller
</translation>
    </message>
    <message>
        <source>已绑定到地址和端口</source>
        <translation>Bound to the address and port</translation>
    </message>
    <message>
        <source>正在监听中</source>
        <translation>Listening</translation>
    </message>
    <message>
        <source>即将关闭</source>
        <translation>Closing</translation>
    </message>
    <message>
        <source>正在重连 (第%1次)…</source>
        <translation>Reconnecting (attempt %1)…</translation>
    </message>
    <message>
        <source>已断开连接</source>
        <translation>Disconnected</translation>
    </message>
    <message>
        <source>未建立连接，无法发送!</source>
        <translation>Not connected, cannot send!</translation>
    </message>
    <message>
        <source>开始传送中...</source>
        <translation>Sending...</translation>
    </message>
    <message>
        <source>传送完成!</source>
        <translation>Send complete!</translation>
    </message>
    <message>
        <source>发送文件大小:</source>
        <translation>File size sent:</translation>
    </message>
    <message>
        <source>总发送字节大小:</source>
        <translation>Total bytes sent:</translation>
    </message>
    <message>
        <source>发送耗时:</source>
        <translation>Send time:</translation>
    </message>
    <message>
        <source>传送已被强制中断!
</source>
        <translation>The send was stopped!
</translation>
    </message>
    <message>
        <source>连接已断开,传送中断!</source>
        <translation>Connection lost, send interrupted!</translation>
    </message>
    <message>
        <source>打开文件失败，传送中断
</source>
        <translation>Could not open the file, send interrupted
</translation>
    </message>
    <message>
        <source>读取文件失败，传送中断
</source>
        <translation>Could not read the file, send interrupted
</translation>
    </message>
    <message>
        <source>文件在发送中被修改,传送失败!
</source>
        <translation>The file changed while it was sent, send failed!
</translation>
    </message>
    <message>
        <source>接收完成!</source>
        <translation>Reception complete!</translation>
    </message>
    <message>
        <source>文件接收大小:</source>
        <translation>File size received:</translation>
    </message>
    <message>
        <source>总接收Byte大小:</source>
        <translation>Total bytes received:</translation>
    </message>
    <message>
        <source>接收耗时:</source>
        <translation>Reception time:</translation>
    </message>
    <message>
        <source>文件大小不符: 收到 %1, 声明 %2</source>
        <translation>File size differs: received %1, announced %2</translation>
    </message>
    <message>
        <source>文件名已被占用,已另存为: </source>
        <translation>The file name was in use; saved as: </translation>
    </message>
    <message>
        <source>
开始接收...</source>
        <translation>
Receiving...</translation>
    </message>
    <message>
        <source>创建文件失败,接收失败!
</source>
        <translation>Could not create the file, reception failed!
</translation>
    </message>
    <message>
        <source>拒绝接收 %1: 不能覆盖本程序自己的文件</source>
        <translation>Refused %1: it would overwrite one of this program's own files</translation>
    </message>
    <message>
        <source>接收超时，已强制中断!
</source>
        <translation>Reception timed out and was stopped!
</translation>
    </message>
    <message>
        <source>文件MD5校验失败,接收失败!
</source>
        <translation>The file failed its MD5 check, reception failed!
</translation>
    </message>
    <message>
        <source>写入文件失败,接收中断!
</source>
        <translation>Could not write the file, reception interrupted!
</translation>
    </message>
    <message>
        <source>已收到 %1 字节, 远超声明的 %2, 仍无结束标记: 已删除部分文件</source>
        <translation>Received %1 bytes, far beyond the %2 announced, and still no end marker: the partial file was deleted</translation>
    </message>
    <message>
        <source>磁盘剩余空间不足, 为保留磁盘最后的空间已停止接收: 已删除部分文件</source>
        <translation>The disk is almost full; reception stopped to keep its last free space: the partial file was deleted</translation>
    </message>
    <message>
        <source>已校验的文件保留在: </source>
        <translation>The verified file is kept at: </translation>
    </message>
    <message>
        <source>未建立连接，传送失败!</source>
        <translation>Not connected, send failed!</translation>
    </message>
    <message>
        <source>已加入发送队列: %1 (停止后待发送)</source>
        <translation>Added to the send queue: %1 (waiting, as the queue was stopped)</translation>
    </message>
    <message>
        <source>已加入发送队列: %1 (共%2个)</source>
        <translation>Added to the send queue: %1 (%2 in all)</translation>
    </message>
    <message>
        <source>以下文件未发送: </source>
        <translation>These files were not sent: </translation>
    </message>
    <message>
        <source>[%1/%2] 开始传送 %3</source>
        <translation>[%1/%2] Sending %3</translation>
    </message>
    <message>
        <source>发送完成</source>
        <translation>Sent</translation>
    </message>
    <message>
        <source>以下文件等待发送,点击"文件传输"继续: </source>
        <translation>These files wait to be sent; click "Send File" to go on: </translation>
    </message>
    <message>
        <source>发送失败</source>
        <translation>Send failed</translation>
    </message>
    <message>
        <source>接收完成</source>
        <translation>Received</translation>
    </message>
    <message>
        <source>接收失败</source>
        <translation>Reception failed</translation>
    </message>
    <message>
        <source>无法写入传输记录 %1: %2</source>
        <translation>Cannot write the history %1: %2</translation>
    </message>
    <message>
        <source>无法读取传输记录 </source>
        <translation>Cannot read the history </translation>
    </message>
    <message>
        <source>传输记录中有 %1 行无法读取, 已跳过</source>
        <translation>%1 lines of the history could not be read and were skipped</translation>
    </message>
    <message>
        <source>发送速度: 全速</source>
        <translation>Send pace: full</translation>
    </message>
    <message>
        <source>发送速度: 限速 %1 MB/s</source>
        <translation>Send pace: capped at %1 MB/s</translation>
    </message>
    <message>
        <source>与已有文件相同 (MD5 一致), 未重复保存: %1</source>
        <translation>Identical to the file already there (same MD5), not saved again: %1</translation>
    </message>
    <message>
        <source>已保留同名的原文件, 新文件另存为: %1</source>
        <translation>Kept the file already there; the new one is saved as: %1</translation>
    </message>
    <message>
        <source>文件未带 MD5, 无法判断是否与原文件相同: 两者都保留, 新文件另存为: %1</source>
        <translation>The file came without an MD5, so it cannot be told identical: both are kept, the new one saved as: %1</translation>
    </message>
    <message>
        <source>本机的文件接收服务也在连接 %1: 控制器发来的文件可能进入服务的目录, 连接也可能被服务取走; 要在本窗口接收, 请先停止该服务</source>
        <translation>A file receiver service of this PC also connects to %1: files the controller sends may go to the service's folder, and the service may take the connection; to receive in this window, stop the service first</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>客户端:</source>
        <translation>Client:</translation>
    </message>
    <message>
        <source>测试连接</source>
        <translation>Test Connection</translation>
    </message>
    <message>
        <source>文件传输</source>
        <translation>Send File</translation>
    </message>
    <message>
        <source>停止传输</source>
        <translation>Stop Sending</translation>
    </message>
    <message>
        <source>清理信息</source>
        <translation>Clear Log</translation>
    </message>
    <message>
        <source>接收目录</source>
        <translation>Receive Folder</translation>
    </message>
    <message>
        <source>缓冲区:</source>
        <translation>Buffer:</translation>
    </message>
    <message>
        <source>请输入KVR控制器IP:</source>
        <translation>KVR controller IP:</translation>
    </message>
    <message>
        <source>本地IP:</source>
        <translation>Local IP:</translation>
    </message>
    <message>
        <source>toolBar</source>
        <translation>Toolbar</translation>
    </message>
    <message>
        <source>清理文本</source>
        <translation>Clear Text</translation>
    </message>
    <message>
        <source>建立连接</source>
        <translation>Connect</translation>
    </message>
    <message>
        <source>断开连接</source>
        <translation>Disconnect</translation>
    </message>
    <message>
        <source>自动重连</source>
        <translation>Auto Reconnect</translation>
    </message>
    <message>
        <source>传输列表</source>
        <translation>Transfers</translation>
    </message>
    <message>
        <source>测试</source>
        <translation>Test</translation>
    </message>
    <message>
        <source>KVR文件网络传输助手</source>
        <translation>KVR File Transfer</translation>
    </message>
    <message>
        <source>服务端</source>
        <translation>Server</translation>
    </message>
    <message>
        <source>发送:%p%</source>
        <translation>Send: %p%</translation>
    </message>
    <message>
        <source>接收:%p%</source>
        <translation>Receive: %p%</translation>
    </message>
    <message>
        <source>选择文件夹</source>
        <translation>Choose a Folder</translation>
    </message>
    <message>
        <source>选择文件</source>
        <translation>Choose Files</translation>
    </message>
    <message>
        <source>打开接收文件夹</source>
        <translation>Open Receive Folder</translation>
    </message>
    <message>
        <source>打开传输记录</source>
        <translation>Open History</translation>
    </message>
    <message>
        <source>日志</source>
        <translation>Log</translation>
    </message>
    <message>
        <source>客户端</source>
        <translation>Client</translation>
    </message>
    <message>
        <source>缓冲区大小</source>
        <translation>Buffer size</translation>
    </message>
    <message>
        <source>KVR控制器IP</source>
        <translation>KVR controller IP</translation>
    </message>
    <message>
        <source>本地IP</source>
        <translation>Local IP</translation>
    </message>
    <message>
        <source>设置</source>
        <translation>Settings</translation>
    </message>
</context>
<context>
    <name>NoticeThrottle</name>
    <message>
        <source>: %1 个文件</source>
        <translation>: %1 files</translation>
    </message>
</context>
<context>
    <name>RateMeter</name>
    <message>
        <source> 剩余 </source>
        <translation> left </translation>
    </message>
</context>
<context>
    <name>SettingsDialog</name>
    <message>
        <source>设置</source>
        <translation>Settings</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>选择...</source>
        <translation>Choose...</translation>
    </message>
    <message>
        <source>选择接收目录</source>
        <translation>Choose the receive folder</translation>
    </message>
    <message>
        <source>接收目录:</source>
        <translation>Receive folder:</translation>
    </message>
    <message>
        <source>缓冲区:</source>
        <translation>Buffer:</translation>
    </message>
    <message>
        <source>中文</source>
        <translation>Chinese</translation>
    </message>
    <message>
        <source>语言:</source>
        <translation>Language:</translation>
    </message>
    <message>
        <source>语言在程序重新启动后生效</source>
        <translation>The language changes when the program starts again</translation>
    </message>
    <message>
        <source>浅色</source>
        <translation>Light</translation>
    </message>
    <message>
        <source>深色</source>
        <translation>Dark</translation>
    </message>
    <message>
        <source>跟随系统</source>
        <translation>Follow the system</translation>
    </message>
    <message>
        <source>外观:</source>
        <translation>Appearance:</translation>
    </message>
    <message>
        <source>选择文件夹</source>
        <translation>Choose a Folder</translation>
    </message>
    <message>
        <source>按节奏</source>
        <translation>Paced</translation>
    </message>
    <message>
        <source>全速</source>
        <translation>Full speed</translation>
    </message>
    <message>
        <source>限速</source>
        <translation>Capped</translation>
    </message>
    <message>
        <source>发送速度:</source>
        <translation>Send pace:</translation>
    </message>
    <message>
        <source>文件间隔:</source>
        <translation>Pause between files:</translation>
    </message>
    <message>
        <source>覆盖</source>
        <translation>Overwrite</translation>
    </message>
    <message>
        <source>保留两者</source>
        <translation>Keep both</translation>
    </message>
    <message>
        <source>相同则跳过</source>
        <translation>Skip if identical</translation>
    </message>
    <message>
        <source>同名文件:</source>
        <translation>Same name:</translation>
    </message>
</context>
<context>
    <name>TransferListModel</name>
    <message>
        <source>接收</source>
        <translation>Receive</translation>
    </message>
    <message>
        <source>时间</source>
        <translation>Time</translation>
    </message>
    <message>
        <source>方向</source>
        <translation>Direction</translation>
    </message>
    <message>
        <source>控制器</source>
        <translation>Controller</translation>
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
        <source>耗时</source>
        <translation>Duration</translation>
    </message>
    <message>
        <source>速率</source>
        <translation>Rate</translation>
    </message>
    <message>
        <source>结果</source>
        <translation>Result</translation>
    </message>
    <message>
        <source>完成</source>
        <translation>Done</translation>
    </message>
    <message>
        <source>大小与声明不符, 未经 MD5 校验</source>
        <translation>Size differs from the one announced; not verified by MD5</translation>
    </message>
    <message>
        <source>连接已断开</source>
        <translation>Connection lost</translation>
    </message>
    <message>
        <source>已被中断</source>
        <translation>Interrupted</translation>
    </message>
    <message>
        <source>未接收完: 已停止等待</source>
        <translation>Incomplete: stopped waiting</translation>
    </message>
    <message>
        <source>接收超时</source>
        <translation>Timed out</translation>
    </message>
    <message>
        <source>打开文件失败</source>
        <translation>Could not open the file</translation>
    </message>
    <message>
        <source>文件在发送中被修改</source>
        <translation>The file changed while it was sent</translation>
    </message>
    <message>
        <source>读取文件失败</source>
        <translation>Could not read the file</translation>
    </message>
    <message>
        <source>拒绝接收: 不能覆盖本程序自己的文件</source>
        <translation>Refused: it would overwrite one of this program's own files</translation>
    </message>
    <message>
        <source>创建文件失败</source>
        <translation>Could not create the file</translation>
    </message>
    <message>
        <source>远超声明的大小, 仍无结束标记</source>
        <translation>Far beyond the size announced, and still no end marker</translation>
    </message>
    <message>
        <source>写入文件失败</source>
        <translation>Could not write the file</translation>
    </message>
    <message>
        <source>未记录</source>
        <translation>not recorded</translation>
    </message>
    <message>
        <source>MD5 校验失败: 声明 %1, 计算 %2</source>
        <translation>MD5 check failed: announced %1, computed %2</translation>
    </message>
    <message>
        <source>发送</source>
        <translation>Send</translation>
    </message>
    <message>
        <source>等待发送</source>
        <translation>Waiting</translation>
    </message>
    <message>
        <source>发送中</source>
        <translation>Sending</translation>
    </message>
    <message>
        <source>接收中</source>
        <translation>Receiving</translation>
    </message>
    <message>
        <source>与已有文件相同, 已跳过</source>
        <translation>Identical to the file already there; skipped</translation>
    </message>
</context>
<context>
    <name>TransferListWindow</name>
    <message>
        <source>队列</source>
        <translation>Queue</translation>
    </message>
    <message>
        <source>失败</source>
        <translation>Failed</translation>
    </message>
    <message>
        <source>完成</source>
        <translation>Done</translation>
    </message>
    <message>
        <source>传输列表</source>
        <translation>Transfers</translation>
    </message>
    <message>
        <source>重试</source>
        <translation>Retry</translation>
    </message>
    <message>
        <source>全部重试</source>
        <translation>Retry All</translation>
    </message>
    <message>
        <source>打开所在文件夹</source>
        <translation>Open Containing Folder</translation>
    </message>
    <message>
        <source>复制</source>
        <translation>Copy</translation>
    </message>
    <message>
        <source>复制 MD5</source>
        <translation>Copy MD5</translation>
    </message>
    <message>
        <source>移除</source>
        <translation>Remove</translation>
    </message>
    <message>
        <source>清空已完成</source>
        <translation>Clear Done</translation>
    </message>
    <message>
        <source>无法打开文件</source>
        <translation>Cannot open the file</translation>
    </message>
    <message>
        <source>传输记录未保存文件的位置</source>
        <translation>The history does not keep where the file is</translation>
    </message>
    <message>
        <source>文件已不存在</source>
        <translation>The file no longer exists</translation>
    </message>
    <message>
        <source>失败原因</source>
        <translation>Why it failed</translation>
    </message>
</context>
</TS>
"""The gateway's operator relay for desktop sessions: an operator socket opens and closes
a session on an enrolled agent and gets that session's frames back; the operator page is
served next to the relay."""

import asyncio
import json
import ssl
import unittest
import urllib.request

import aiohttp

from tests import fixture


class GatewayDesktopRelay(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = fixture.Server()
        cls.enrolled = cls.server.enroll("desk-01")
        cls.gateway = fixture.Gateway(cls.server)
        cls.agent_url, cls.operator = cls.gateway.agent_url, cls.gateway.operator

    @classmethod
    def tearDownClass(cls):
        cls.gateway.close()
        cls.server.close()

    def test_operator_page_is_served_by_the_gateway(self):
        for name, marker in (("", b"session.js"), ("session.js", b"velaSession"), ("operator.js", b"setTransport")):
            with urllib.request.urlopen(self.operator + "/operator/" + name) as reply:
                self.assertEqual(reply.status, 200)
                self.assertIn(marker, reply.read())

    def test_desktop_frames_travel_between_operator_and_agent(self):
        asyncio.run(self.exchange())

    async def exchange(self):
        tls = ssl.create_default_context(cafile=self.server.file("ca.pem"))
        agent_id = self.enrolled["agent_id"]
        async with aiohttp.ClientSession() as http:
            agent = await http.ws_connect(self.agent_url, ssl=tls, headers={
                "Authorization": "Bearer " + self.enrolled["device_token"]})
            ops = f"{self.operator.replace('http', 'ws')}/agents/{agent_id}/ws"
            first = await http.ws_connect(ops)
            second = await http.ws_connect(ops)

            opening = json.dumps({"type": "desktop.open", "session_id": "s1", "data": "e30="})
            await first.send_str(opening)
            self.assertEqual((await agent.receive(timeout=60)).data, opening)
            await second.send_str(json.dumps({"type": "desktop.open", "session_id": "s2"}))
            await agent.receive(timeout=60)

            # Each session's frames go back to the operator that opened it, in order.
            for text in ('{"data":"x","session_id":"s1","type":"desktop.opened"}',
                         '{"data":"y","session_id":"s1","type":"desktop.recording"}'):
                await agent.send_str(text)
                self.assertEqual((await first.receive(timeout=60)).data, text)
            await agent.send_str('{"reason":"capture_failed","session_id":"s2","type":"desktop.closed"}')
            self.assertEqual(json.loads((await second.receive(timeout=60)).data)["session_id"], "s2")

            closing = '{"reason":"operator","session_id":"s1","type":"desktop.close"}'
            await first.send_str(closing)
            self.assertEqual((await agent.receive(timeout=60)).data, closing)

            await agent.close()
            gone = json.loads((await first.receive(timeout=60)).data)
            self.assertEqual(gone, {"type": "gateway.agent_gone", "agent": agent_id})
            await first.close()
            await second.close()


if __name__ == "__main__":
    unittest.main()
